// Lets files grow to a given size at most while the object lives: writes beyond it fail with
// EFBIG instead of raising SIGXFSZ (ignored meanwhile). Both are restored on destruction, so a
// failing assertion in between cannot leave the limit on for later tests.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <cstdint>

#include <gtest/gtest.h>

class FileSizeLimit {
public:
    explicit FileSizeLimit(std::uint64_t limit) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        signal_saved_ = ::sigaction(SIGXFSZ, &ignore, &old_action_) == 0;
        limit_saved_ = ::getrlimit(RLIMIT_FSIZE, &saved_) == 0;
        rlimit small = saved_;
        small.rlim_cur = limit;
        active_ = signal_saved_ && limit_saved_ && ::setrlimit(RLIMIT_FSIZE, &small) == 0;
        EXPECT_TRUE(active_) << "could not set the file size limit";
    }
    ~FileSizeLimit() {
        if (limit_saved_) ::setrlimit(RLIMIT_FSIZE, &saved_);
        if (signal_saved_) ::sigaction(SIGXFSZ, &old_action_, nullptr);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool active() const { return active_; }

private:
    struct sigaction old_action_ {};
    rlimit saved_{};
    bool signal_saved_ = false;
    bool limit_saved_ = false;
    bool active_ = false;
};
