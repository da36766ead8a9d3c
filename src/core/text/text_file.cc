#include "text/text_file.h"

#include <array>
#include <cstring>
#include <vector>

#include "codec.h"
#include "storage/crc32.h"
#include "storage/metadata_text.h"
#include "storage/storage.h"

namespace qorel {

namespace {

constexpr std::array<std::uint8_t, 4> kMagic{'Q', 'T', 'X', 'T'};
constexpr std::uint32_t kVersion = 1;
// A field name is a metadata key; nothing longer is ever written, so a longer file is damage.
constexpr std::uint64_t kMaxFileBytes = 4 + 4 + 1 + 4 + (1u << 16) + 4;

[[noreturn]] void corrupt(const std::string& path, const std::string& what) {
    throw QorelError::corrupt_data(path + ": " + what);
}

}  // namespace

std::optional<TextConfig> read_text_config(Env& env, const std::string& directory) {
    const std::string path = join_path(directory, kTextConfigFile);
    if (!env.file_exists(path)) return std::nullopt;
    std::unique_ptr<ReadableFile> file = env.open_readable(path);
    const std::uint64_t size = file->size();
    if (size > kMaxFileBytes || size < 4 + 4 + 1 + 4 + 4) corrupt(path, "unexpected length " + std::to_string(size));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (file->read_at(0, bytes.data(), bytes.size()) != bytes.size()) corrupt(path, kUnexpectedEof);
    const std::span<const std::uint8_t> body(bytes.data(), bytes.size() - 4);
    std::uint32_t stored = 0;
    std::memcpy(&stored, bytes.data() + body.size(), 4);
    if (crc32(body) != stored) corrupt(path, "checksum mismatch");
    ByteReader in(body);
    if (!std::equal(kMagic.begin(), kMagic.end(), in.bytes(4).begin())) corrupt(path, "not a text index file");
    if (const std::uint32_t version = in.u32(); version != kVersion)
        corrupt(path, "unsupported version " + std::to_string(version));
    TextConfig config;
    config.stem = in.u8() == 1;
    const std::uint32_t length = in.u32();
    if (length == 0 || length != in.remaining()) corrupt(path, "bad field length");
    const auto field = in.bytes(length);
    config.field.assign(reinterpret_cast<const char*>(field.data()), field.size());
    if (utf8_error_offset(config.field)) corrupt(path, "field is not UTF-8");
    return config;
}

void write_text_config(Env& env, const std::string& directory, const TextConfig& config) {
    std::vector<std::uint8_t> bytes;
    ByteWriter w(bytes);
    w.bytes(std::span<const std::uint8_t>(kMagic));
    w.u32(kVersion);
    w.u8(config.stem ? 1 : 0);
    w.string(config.field);
    w.u32(crc32(bytes));
    const std::string path = join_path(directory, kTextConfigFile);
    const std::string tmp = join_path(directory, "text.tmp");
    {
        std::unique_ptr<WritableFile> file = env.open_writable(tmp, WriteMode::Truncate);
        file->write(bytes.data(), bytes.size());
        file->sync();
        file->close();
    }
    env.rename_file(tmp, path);
    env.sync_directory(directory);
}

}  // namespace qorel
