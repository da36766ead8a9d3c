#include "storage/wal_salvage.h"

#include <cstring>
#include <utility>
#include <vector>

#include "error.h"
#include "storage/wal_format.h"

namespace qorel {
namespace {


// The first offset at or after `from` where an intact record of a known kind begins. `budget`
// is how many payload bytes may be checksummed: crafted bytes could make the search quadratic.
// nullopt when there is none, or when the budget ran out (then `budget` is 0).
std::optional<std::uint64_t> search_record(std::span<const std::uint8_t> bytes, std::uint64_t from, std::uint64_t& budget) {
    for (std::uint64_t pos = from; pos + kWalRecordOverhead <= bytes.size(); ++pos) {
        const std::uint8_t kind = bytes[pos];
        if (kind < static_cast<std::uint8_t>(WalKind::Insert) || kind > static_cast<std::uint8_t>(WalKind::EnableText)) continue;
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

std::optional<std::string> keep_damaged_tail(Env& env, const std::string& path, std::uint64_t from) {
    const std::unique_ptr<ReadableFile> in = env.open_readable(path);
    if (!in) return std::nullopt;
    std::string side;
    std::unique_ptr<WritableFile> out;
    for (unsigned n = 1; !out; ++n) {
        side = path + ".damaged-" + std::to_string(n);
        out = env.open_writable(side, WriteMode::CreateNew);
    }
    try {
        std::vector<std::uint8_t> buffer(1 << 16);
        for (std::uint64_t offset = from;;) {
            const std::size_t got = in->read_at(offset, buffer.data(), buffer.size());
            if (got == 0) break;
            out->write(buffer.data(), got);
            offset += got;
        }
        out->sync();
        std::exchange(out, nullptr)->close();
        env.sync_directory(parent_directory(path));
    } catch (...) {
        out.reset();
        try {
            env.remove_file_if_exists(side);
        } catch (const QorelError&) {
        }
        throw;
    }
    return side;
}

}  // namespace qorel
