#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/open_registry.h"
#include "storage/dir_lock.h"
#include "storage/files.h"
#include "storage/mem_env.h"

namespace qorel {
namespace {

Env& posix = *Env::posix();

class DirLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qorel_dirlock_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Runs `body` in a forked child and returns its exit status (the child never returns into
    // the test runner).
    template <class F>
    static int in_child(F body) {
        const pid_t pid = ::fork();
        if (pid == 0) ::_exit(body());
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    }

    // 0: acquired, 1: in use, 2: any other failure.
    static int try_acquire(const std::string& dir) {
        try {
            DirLock lock = DirLock::acquire(posix, dir);
            return lock.held() ? 0 : 2;
        } catch (const DirectoryInUse&) {
            return 1;
        } catch (...) {
            return 2;
        }
    }

    std::string dir_;
};

TEST_F(DirLockTest, OneHolderAtATimeEvenWithinAProcess) {
    DirLock first = DirLock::acquire(posix, dir_);
    ASSERT_TRUE(first.held());
    EXPECT_TRUE(posix.path_exists(dir_ + "/qorel.lock"));
    // A second lock description conflicts inside the holder's own process...
    EXPECT_THROW(DirLock::acquire(posix, dir_), DirectoryInUse);
    // ...and in any other process.
    EXPECT_EQ(in_child([&] { return try_acquire(dir_); }), 1);

    // Moving keeps the claim; releasing (explicitly or by destruction) ends it.
    DirLock moved = std::move(first);
    EXPECT_FALSE(first.held());
    EXPECT_EQ(try_acquire(dir_), 1);
    moved.release();
    EXPECT_EQ(in_child([&] { return try_acquire(dir_); }), 0);
    { DirLock again = DirLock::acquire(posix, dir_); }
    EXPECT_EQ(try_acquire(dir_), 0);
    // The lock file stays behind for the next holder.
    EXPECT_TRUE(posix.path_exists(dir_ + "/qorel.lock"));
}

TEST_F(DirLockTest, AKilledHolderLeavesTheDirectoryFree) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        DirLock lock = DirLock::acquire(posix, dir_);
        char c = 'x';
        if (::write(ready[1], &c, 1) != 1) ::_exit(2);
        ::pause();
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_EQ(try_acquire(dir_), 1);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(try_acquire(dir_), 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(DirLockTest, AForkedChildDoesNotKeepItsParentsClaim) {
    DirLock lock = DirLock::acquire(posix, dir_);
    const std::uint64_t generation = fork_generation();
    int go[2], done[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The inherited lock is the parent's: the child cannot claim the directory while the
        // parent holds it, and dropping its copy must not release the parent's claim.
        int code = fork_generation() == generation + 1 ? 0 : 10;
        if (try_acquire(dir_) != 1) code = 11;
        lock.release();
        char c = 'x';
        if (::write(done[1], &c, 1) != 1) code = 12;
        // Stays alive, with the inherited copy of the descriptor gone, until the parent has
        // let go and claimed the directory again.
        if (::read(go[0], &c, 1) != 1) code = 13;
        ::_exit(code);
    }
    char c;
    ASSERT_EQ(::read(done[0], &c, 1), 1);
    EXPECT_EQ(try_acquire(dir_), 1) << "the child's release dropped the parent's claim";
    lock.release();
    // A live child must not hold the directory for its parent's lifetime.
    EXPECT_EQ(try_acquire(dir_), 0);
    ASSERT_EQ(::write(go[1], &c, 1), 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (int fd : {go[0], go[1], done[0], done[1]}) ::close(fd);
}

class OpenRegistryTest : public DirLockTest {
protected:
    static DatabaseConfig config(std::uint64_t dim) {
        DatabaseConfig c;
        c.dim = dim;
        return c;
    }
};

TEST_F(OpenRegistryTest, OpeningNothingCreatesNothing) {
    EXPECT_THROW(open_shared(dir_ + "/missing", std::nullopt), QorelError);
    EXPECT_FALSE(posix.path_exists(dir_ + "/missing"));
    // An existing directory without a database gets no lock file.
    EXPECT_THROW(open_shared(dir_, std::nullopt), QorelError);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
    // The system would read the path only up to the NUL.
    EXPECT_THROW(open_shared(dir_ + "/a" + std::string(1, '\0') + "b", config(2)), std::invalid_argument);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(OpenRegistryTest, DirectoriesAreToldApartPerEnv) {
    auto mem = std::make_shared<MemEnv>();
    auto db = open_shared("/db", config(2), mem);
    db->add("a", {1, 2}, std::nullopt);
    EXPECT_EQ(open_shared("/db/.", config(2), mem), db);
    // The same path in another Env is another directory, with a lock of its own.
    auto other = open_shared("/db", config(2), std::make_shared<MemEnv>());
    EXPECT_NE(other, db);
    EXPECT_EQ(other->len(), 0u);
    EXPECT_FALSE(posix.path_exists("/db"));
}

}  // namespace
}  // namespace qorel
