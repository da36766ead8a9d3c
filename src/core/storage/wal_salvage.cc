#include "storage/wal_salvage.h"

#include <cstring>
#include <vector>

#include "error.h"
#include "storage/fd_io.h"
#include "storage/files.h"
#include "storage/wal_format.h"

namespace qorel {
namespace {

using fd_io::FdCloser;
using fd_io::open_read_only;
using fd_io::pread_full;
using fd_io::write_full;

// The first offset at or after `from` where an intact record of a known kind begins. `budget`
// is how many payload bytes may be checksummed: crafted bytes could make the search quadratic.
// nullopt when there is none, or when the budget ran out (then `budget` is 0).
std::optional<std::uint64_t> search_record(std::span<const std::uint8_t> bytes, std::uint64_t from, std::uint64_t& budget) {
    for (std::uint64_t pos = from; pos + kWalRecordOverhead <= bytes.size(); ++pos) {
        const std::uint8_t kind = bytes[pos];
        if (kind < static_cast<std::uint8_t>(WalKind::Insert) || kind > static_cast<std::uint8_t>(WalKind::Batch)) continue;
        std::uint32_t length;
        std::memcpy(&length, bytes.data() + pos + 1, 4);
        if (length > bytes.size() - pos - kWalRecordOverhead) continue;
        if (length > budget) {
            budget = 0;
            return std::nullopt;
        }
        budget -= length;
        std::uint32_t stored;
        std::memcpy(&stored, bytes.data() + pos + 5 + length, 4);
        if (wal_record_crc(kind, bytes.subspan(pos + 5, length)) == stored) return pos;
    }
    return std::nullopt;
}

std::string parent_directory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::optional<std::uint64_t> find_intact_record(std::span<const std::uint8_t> bytes, std::uint64_t from) {
    std::uint64_t unlimited = UINT64_MAX;
    return search_record(bytes, from, unlimited);
}

bool may_hide_records(std::span<const std::uint8_t> bytes, std::uint64_t from) {
    std::uint64_t budget = std::uint64_t{256} << 20;
    return search_record(bytes, from, budget) || budget == 0;
}

std::optional<std::string> keep_damaged_tail(const std::string& path, std::uint64_t from) {
    const int in = open_read_only(path);
    if (in < 0) {
        if (errno != ENOENT) throw QorelError::io_errno(errno);
        return std::nullopt;
    }
    FdCloser in_closer{in};
    std::string side;
    int out = -1;
    for (unsigned n = 1; out < 0;) {
        side = path + ".damaged-" + std::to_string(n);
        out = ::open(side.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out >= 0) break;
        if (errno == EEXIST) {
            ++n;
        } else if (errno != EINTR) {
            throw QorelError::io_errno(errno);
        }
    }
    try {
        FdCloser out_closer{out};
        std::vector<std::uint8_t> buffer(1 << 16);
        for (std::uint64_t offset = from;;) {
            const std::size_t got = pread_full(in, buffer.data(), buffer.size(), offset);
            if (got == 0) break;
            write_full(out, buffer.data(), got);
            offset += got;
        }
        if (::fsync(out) != 0) throw QorelError::io_errno(errno);
        out_closer.fd = -1;
        if (::close(out) != 0) throw QorelError::io_errno(errno);
        sync_directory(parent_directory(path));
    } catch (...) {
        ::unlink(side.c_str());
        throw;
    }
    return side;
}

}  // namespace qorel
