#include <gtest/gtest.h>
#include <stdlib.h>
#include "file_size_limit.h"
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "error.h"
#include "storage/crc32.h"
#include "storage/fault_env.h"
#include "storage/files.h"
#include "storage/mem_env.h"
#include "storage/wal.h"

namespace qorel {
namespace {

Env& posix = *Env::posix();

using Bytes = std::vector<std::uint8_t>;

class StorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qorel_storage_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    void write_bytes(const std::string& p, const Bytes& b) {
        BufferedFileWriter w(posix, p, BufferedFileWriter::Mode::Truncate);
        w.write(b);
        w.close();
    }

    std::string dir_;
};

Bytes as_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A valid record around an arbitrary payload.
Bytes raw_record(std::uint8_t kind, const Bytes& payload) {
    Bytes out;
    ByteWriter w(out);
    w.u8(kind);
    w.u32(static_cast<std::uint32_t>(payload.size()));
    w.bytes(payload);
    w.u32(crc32(payload, crc32(std::span<const std::uint8_t>(&kind, 1))));
    return out;
}

WalEntry del(std::string id) { return WalEntry::Delete{std::move(id)}; }
WalEntry ins(std::string id, std::vector<float> v, std::optional<Json> m = std::nullopt) {
    return WalEntry::Insert{std::move(id), std::move(v), std::move(m)};
}

std::uint32_t bitwise_crc(const Bytes& b) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t byte : b) {
        c ^= byte;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

TEST(Crc32, KnownVectorsAndIncrementalUse) {
    EXPECT_EQ(crc32({}), 0u);
    EXPECT_EQ(crc32(as_bytes("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc32(as_bytes("The quick brown fox jumps over the lazy dog")), 0x414FA339u);

    std::mt19937 rng(7);
    Bytes data(300);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const std::uint32_t whole = crc32(data);
    for (std::size_t split = 0; split <= data.size(); ++split) {
        std::span<const std::uint8_t> s(data);
        ASSERT_EQ(crc32(s.subspan(split), crc32(s.first(split))), whole) << split;
    }
    // Every length and misalignment against the one-bit-at-a-time definition.
    for (std::size_t off = 0; off < 8; ++off) {
        for (std::size_t len = 0; len + off <= 100; ++len) {
            Bytes piece(data.begin() + off, data.begin() + off + len);
            ASSERT_EQ(crc32(std::span<const std::uint8_t>(data).subspan(off, len)), bitwise_crc(piece));
        }
    }
}

TEST(Crc32, CastagnoliByInstructionAndByTables) {
    EXPECT_EQ(crc32c({}), 0u);
    EXPECT_EQ(crc32c(as_bytes("123456789")), 0xE3069283u);
    EXPECT_EQ(crc32c_portable(as_bytes("123456789")), 0xE3069283u);
    // Files written on a processor without the instruction are read on one with it and back:
    // every length, misalignment and split must agree.
    std::mt19937 rng(3);
    Bytes data(200);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const std::span<const std::uint8_t> all(data);
    for (std::size_t off = 0; off < 8; ++off) {
        for (std::size_t len = 0; len + off <= all.size(); ++len) {
            const auto piece = all.subspan(off, len);
            ASSERT_EQ(crc32c(piece), crc32c_portable(piece)) << off << " " << len;
            ASSERT_EQ(crc32c(piece.subspan(len / 3), crc32c_portable(piece.first(len / 3))), crc32c(piece));
        }
    }
}

TEST(Crc32, CastagnoliOfLongInputsSplitIntoRunsAgreesWithTables) {
    // Long inputs are checksummed in three runs joined afterwards: the join must give what one
    // pass gives, for lengths around where the split begins and for run lengths that are not
    // whole words, with and without a running value carried in.
    std::mt19937 rng(5);
    Bytes data(3 * 4096 * 3 + 61);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const std::span<const std::uint8_t> all(data);
    for (std::size_t len : {std::size_t{3 * 4096 - 1}, std::size_t{3 * 4096}, std::size_t{3 * 4096 + 7},
                            std::size_t{3 * 4096 + 23}, std::size_t{20000}, data.size() - 3, data.size()}) {
        for (std::size_t off : {0, 3}) {
            if (off + len > all.size()) continue;
            const auto piece = all.subspan(off, len);
            ASSERT_EQ(crc32c(piece), crc32c_portable(piece)) << off << " " << len;
            ASSERT_EQ(crc32c(piece, 0x12345678u), crc32c_portable(piece, 0x12345678u)) << off << " " << len;
        }
    }
    // Zero bytes after a running value: here only the moves of the registers through the later
    // runs carry the value to the end.
    const Bytes zeros(50000, 0);
    EXPECT_EQ(crc32c(zeros, 7u), crc32c_portable(zeros, 7u));
}

TEST(WalRecord, BytesOfEveryKind) {
    EXPECT_EQ(encode_record(del("a")),
              (Bytes{0x02, 0x05, 0, 0, 0, 0x01, 0, 0, 0, 0x61, 0xD6, 0x78, 0xDF, 0xFB}));

    Bytes insert_payload = concat({{1, 0, 0, 0, 'x'}, {2, 0, 0, 0}, {0, 0, 0x80, 0x3F, 0, 0, 0, 0xC0},
                                   {7, 0, 0, 0}, as_bytes(R"({"k":1})")});
    EXPECT_EQ(encode_record(ins("x", {1.0f, -2.0f}, Json{{"k", 1}})), raw_record(1, insert_payload));
    EXPECT_EQ(encode_record(ins("x", {})), raw_record(1, {1, 0, 0, 0, 'x', 0, 0, 0, 0, 0, 0, 0, 0}));

    // Update: neither part; a vector and "remove metadata"; only "set metadata".
    EXPECT_EQ(encode_record(WalEntry::Update{"u", std::nullopt, false, std::nullopt}),
              raw_record(3, {1, 0, 0, 0, 'u', 0, 0}));
    EXPECT_EQ(encode_record(WalEntry::Update{"u", std::vector<float>{1.0f}, true, std::nullopt}),
              raw_record(3, {1, 0, 0, 0, 'u', 1, 1, 0, 0, 0, 0, 0, 0x80, 0x3F, 1, 0, 0, 0, 0}));
    EXPECT_EQ(encode_record(WalEntry::Update{"u", std::nullopt, true, Json::array()}),
              raw_record(3, {1, 0, 0, 0, 'u', 0, 1, 2, 0, 0, 0, '[', ']'}));

    // Every entry shape reads back as written.
    std::vector<WalEntry> all = {
        del("a"),
        ins("héllo", {0.5f, 1.5f, -3.25f}, Json{{"n", 1}, {"s", "t"}, {"a", {1, 2.5, nullptr}}}),
        ins("none", {1.0f}),
        WalEntry::Update{"u", std::nullopt, false, std::nullopt},
        WalEntry::Update{"u", std::vector<float>{2.0f}, true, std::nullopt},
        WalEntry::Update{"u", std::nullopt, true, Json{{"k", "v"}}},
    };
    Bytes log;
    for (const auto& e : all) encode_record(e, log);
    WalReadResult r = parse_wal(log);
    EXPECT_EQ(r.entries, all);
    EXPECT_EQ(r.good_length, log.size());

    // Invalid UTF-8 inside metadata is replaced rather than making the record unwritable.
    WalReadResult bad = parse_wal(encode_record(ins("b", {1.0f}, Json{{"k", std::string("a\xFF")}})));
    ASSERT_EQ(bad.entries.size(), 1u);
    EXPECT_EQ(std::get<WalEntry::Insert>(bad.entries[0].op).metadata, (Json{{"k", "a\xEF\xBF\xBD"}}));
}

TEST(WalRead, DamagedAndCutOffTails) {
    Bytes r1 = encode_record(ins("a", {1, 2, 3}, Json{{"k", 1}}));
    Bytes r2 = encode_record(del("b"));
    Bytes r3 = encode_record(WalEntry::Update{"c", std::vector<float>{4, 5, 6}, true, Json{{"z", true}}});
    Bytes log = concat({r1, r2, r3});

    // Cut anywhere inside the last record (including "lacks its final two bytes"): the earlier
    // records survive and the good length ends before the cut record.
    for (std::size_t cut = r1.size() + r2.size(); cut < log.size(); ++cut) {
        WalReadResult r = parse_wal(std::span<const std::uint8_t>(log).first(cut));
        ASSERT_EQ(r.entries.size(), 2u) << cut;
        ASSERT_EQ(r.good_length, r1.size() + r2.size()) << cut;
    }

    // A flipped payload byte in the middle record hides it and everything after it.
    Bytes flipped = log;
    flipped[r1.size() + 7] ^= 0x01;
    WalReadResult f = parse_wal(flipped);
    ASSERT_EQ(f.entries.size(), 1u);
    EXPECT_EQ(f.entries[0].id(), "a");
    EXPECT_EQ(f.good_length, r1.size());

    // A length field far beyond the data: a cut-off tail, not a giant allocation.
    Bytes huge = concat({r1, {0x01, 0xF0, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8}});
    WalReadResult h = parse_wal(huge);
    EXPECT_EQ(h.entries.size(), 1u);
    EXPECT_EQ(h.good_length, r1.size());
    // Above the payload cap, even with the bytes "present" the record is refused.
    Bytes capped = concat({r1, {0x02}});
    ByteWriter(capped).u32(kMaxWalPayload + 1);
    EXPECT_EQ(parse_wal(capped).good_length, r1.size());
}

TEST(WalRead, IntactButUndecodableRecordsAreSkipped) {
    Bytes not_json = raw_record(1, concat({{1, 0, 0, 0, 'm', 0, 0, 0, 0}, {4, 0, 0, 0}, as_bytes("{bad")}));
    Bytes unknown = raw_record(9, {1, 2, 3});
    Bytes bad_utf8_id = raw_record(2, {2, 0, 0, 0, 0xC0, 0x80});  // overlong NUL
    Bytes short_vector = raw_record(1, {1, 0, 0, 0, 'v', 5, 0, 0, 0, 0, 0});
    Bytes update_no_flags = raw_record(3, {1, 0, 0, 0, 'u'});
    // Trailing payload bytes are ignored; a flag byte other than 1 means "absent".
    Bytes delete_trailing = raw_record(2, {1, 0, 0, 0, 'd', 0xAA, 0xBB});
    Bytes update_flag_two = raw_record(3, {1, 0, 0, 0, 'u', 2, 2});
    Bytes last = encode_record(del("z"));
    Bytes log =
        concat({not_json, unknown, bad_utf8_id, short_vector, update_no_flags, delete_trailing, update_flag_two, last});

    WalReadResult r = parse_wal(log);
    ASSERT_EQ(r.entries.size(), 3u);
    EXPECT_EQ(r.entries[0], del("d"));
    EXPECT_EQ(r.entries[1], WalEntry(WalEntry::Update{"u", std::nullopt, false, std::nullopt}));
    EXPECT_EQ(r.entries[2], del("z"));
    EXPECT_EQ(r.good_length, log.size());

    // UTF-8 validation itself: surrogates, overlongs, code points above U+10FFFF, cut sequences.
    EXPECT_FALSE(utf8_error_offset("plain ascii"));
    EXPECT_FALSE(utf8_error_offset("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"));
    EXPECT_EQ(utf8_error_offset("ab\xED\xA0\x80"), 2u);
    EXPECT_EQ(utf8_error_offset("\xE0\x80\xAF"), 0u);
    EXPECT_EQ(utf8_error_offset("\xF4\x90\x80\x80"), 0u);
    EXPECT_EQ(utf8_error_offset("x\xE2\x82"), 1u);
    EXPECT_EQ(utf8_error_offset("\x80"), 0u);
    // Runs of ASCII are passed over eight bytes at a time: a fault right after such a run, or
    // inside a word that begins with ASCII, is still found at its own byte.
    for (std::size_t ascii = 0; ascii < 20; ++ascii) {
        const std::string run(ascii, 'a');
        EXPECT_EQ(utf8_error_offset(run + "\xED\xA0\x80tail-of-ascii"), ascii);
        EXPECT_EQ(utf8_error_offset("\xC3\xA9" + run + "\xF8" + run), ascii + 2);
        EXPECT_FALSE(utf8_error_offset(run + "\xE2\x82\xAC" + run));
        EXPECT_EQ(utf8_error_offset(run + "\xE2\x82"), ascii);
    }
}

Json nested_arrays(std::size_t depth) {
    Json v = Json::array();
    for (std::size_t i = 1; i < depth; ++i) {
        Json outer = Json::array();
        outer.push_back(std::move(v));
        v = std::move(outer);
    }
    return v;
}

TEST(WalRecord, MetadataDepthIsBoundedOnBothSides) {
    // The deepest accepted value round-trips; one level more is refused before anything is
    // written, so the log never holds a record that replay would skip.
    Json deepest = nested_arrays(kMaxMetadataDepth);
    WalReadResult ok = parse_wal(encode_record(ins("d", {1.0f}, deepest)));
    ASSERT_EQ(ok.entries.size(), 1u);
    EXPECT_EQ(std::get<WalEntry::Insert>(ok.entries[0].op).metadata, deepest);
    Json too_deep = nested_arrays(kMaxMetadataDepth + 1);
    EXPECT_FALSE(metadata_text(too_deep));
    EXPECT_THROW(encode_record(ins("d", {1.0f}, too_deep)), QorelError);
    EXPECT_THROW(encode_record(WalEntry::Update{"d", std::nullopt, true, too_deep}), QorelError);

    // Deep text read from a log is skipped whole, however deep; brackets inside strings do not
    // count.
    auto insert_with_text = [](const std::string& text) {
        Bytes payload = {1, 0, 0, 0, 'd', 0, 0, 0, 0};
        ByteWriter(payload).string(text);
        return raw_record(1, payload);
    };
    std::string very_deep = std::string(100000, '[') + std::string(100000, ']');
    std::string brackets_in_strings = R"({"a":"\")" + std::string(2000, '[') + R"(","b":")" + std::string(2000, '{') + R"("})";
    WalReadResult r = parse_wal(concat({insert_with_text(very_deep), insert_with_text(brackets_in_strings)}));
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(std::get<WalEntry::Insert>(r.entries[0].op).metadata->at("b"), std::string(2000, '{'));
}

TEST_F(StorageTest, ReadWalMatchesParseAcrossBufferBoundaries) {
    EXPECT_TRUE(read_wal(posix, path("missing")).entries.empty());
    write_bytes(path("empty"), {});
    EXPECT_EQ(read_wal(posix, path("empty")).good_length, 0u);

    // Many small records spanning 8 KiB boundaries, one record larger than the buffer, and a
    // cut-off tail.
    Bytes log;
    for (int i = 0; i < 500; ++i) encode_record(ins("id" + std::to_string(i), {float(i), 1, 2}), log);
    encode_record(ins("big", std::vector<float>(5000, 0.25f)), log);
    for (int i = 0; i < 50; ++i) encode_record(del("id" + std::to_string(i)), log);
    const std::size_t good = log.size();
    Bytes tail = encode_record(del("cut"));
    log.insert(log.end(), tail.begin(), tail.end() - 3);
    write_bytes(path("wal"), log);

    WalReadResult from_file = read_wal(posix, path("wal"));
    WalReadResult from_memory = parse_wal(log);
    EXPECT_EQ(from_file.entries.size(), 551u);
    EXPECT_EQ(from_file.entries, from_memory.entries);
    EXPECT_EQ(from_file.good_length, good);
    EXPECT_EQ(from_memory.good_length, good);

    EXPECT_TRUE(read_wal(posix, path("missing/sub/wal")).entries.empty());
    EXPECT_THROW(read_wal(posix, dir_), QorelError);  // a read error other than the end of the file
}

TEST_F(StorageTest, WalAppendsAndCutsDamagedTailBeforeAppending) {
    const std::string p = path("wal.qorel");
    {
        Wal wal(posix, p);
        wal.append(ins("a", {1, 2}));
        wal.append(del("a"));
        EXPECT_EQ(posix.read_file(p), concat({encode_record(ins("a", {1, 2})), encode_record(del("a"))}));
        // Dropped by a save, which then deletes the file: the next append starts a new file.
        wal.close_writer();
        posix.remove_file(p);
        wal.append(del("b"));
        EXPECT_EQ(posix.read_file(p), encode_record(del("b")));
    }

    // A crash left half a record at the end.
    Bytes torn = encode_record(ins("torn", {9, 9, 9}));
    {
        BufferedFileWriter w(posix, p, BufferedFileWriter::Mode::Append);
        w.write(std::span<const std::uint8_t>(torn).first(torn.size() - 2));
    }
    WalReadResult replay = read_wal(posix, p);
    ASSERT_EQ(replay.entries.size(), 1u);
    Wal wal(posix, p);
    wal.set_truncate_before_append(replay.good_length);
    wal.append(del("c"));
    wal.append(del("d"));
    WalReadResult again = read_wal(posix, p);
    EXPECT_EQ(again.entries, (std::vector<WalEntry>{del("b"), del("c"), del("d")}));
    EXPECT_EQ(again.good_length, posix.read_file(p).size());
}

TEST_F(StorageTest, FailedAppendDoesNotHideLaterRecords) {
    const std::string p = path("wal.qorel");
    Wal wal(posix, p);
    wal.append(del("a"));  // 14 bytes

    // Let the file grow to 20 bytes only: the next record is torn part way.
    bool threw = false;
    {
        FileSizeLimit limit(20);
        ASSERT_TRUE(limit.active());
        try {
            wal.append(ins("long", std::vector<float>(64, 1.0f)));
        } catch (const QorelError& e) {
            threw = e.kind() == ErrorKind::Io;
        }
    }

    EXPECT_TRUE(threw);
    EXPECT_EQ(posix.read_file(p).size(), 14u);  // the torn bytes are cut off at once
    wal.append(del("b"));
    WalReadResult r = read_wal(posix, p);
    EXPECT_EQ(r.entries, (std::vector<WalEntry>{del("a"), del("b")}));
    EXPECT_EQ(r.good_length, 28u);
    EXPECT_EQ(posix.read_file(p).size(), 28u);
}

TEST_F(StorageTest, FileHelpers) {
    // Small writes through the buffer, one write larger than it, then rename into place.
    Bytes expected;
    {
        BufferedFileWriter w(posix, path("data.tmp"), BufferedFileWriter::Mode::Truncate);
        for (int i = 0; i < 3000; ++i) {
            std::uint8_t b[3] = {std::uint8_t(i), std::uint8_t(i >> 8), 0x5A};
            w.write(b, sizeof b);
            expected.insert(expected.end(), b, b + 3);
        }
        Bytes large(20000, 0x77);
        w.write(large);
        expected.insert(expected.end(), large.begin(), large.end());
        w.sync();
        w.close();
    }
    posix.rename_file(path("data.tmp"), path("data.bin"));
    EXPECT_FALSE(posix.path_exists(path("data.tmp")));
    EXPECT_EQ(posix.read_file(path("data.bin")), expected);

    // Truncate mode empties an existing file; append mode adds to it.
    write_bytes(path("data.bin"), {1, 2});
    {
        BufferedFileWriter w(posix, path("data.bin"), BufferedFileWriter::Mode::Append);
        w.write(Bytes{3});
    }  // the destructor flushes
    EXPECT_EQ(posix.read_file(path("data.bin")), (Bytes{1, 2, 3}));
    posix.truncate_file(path("data.bin"), 1);
    EXPECT_EQ(posix.read_file(path("data.bin")), (Bytes{1}));

    // The mapping keeps the old contents after the file is replaced by a rename.
    MappedFile mapped = posix.map_file(path("data.bin"));
    write_bytes(path("other"), {9, 9, 9});
    posix.rename_file(path("other"), path("data.bin"));
    MappedFile moved = std::move(mapped);
    EXPECT_EQ(mapped.size(), 0u);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved.data()[0], 1);
    write_bytes(path("empty"), {});
    MappedFile empty = posix.map_file(path("empty"));
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_TRUE(empty.bytes().empty());

    EXPECT_TRUE(posix.remove_file_if_exists(path("data.bin")));
    EXPECT_FALSE(posix.remove_file_if_exists(path("data.bin")));
    try {
        posix.remove_file(path("data.bin"));
        ADD_FAILURE() << "removing a missing file succeeded";
    } catch (const QorelError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Io);
        EXPECT_NE(std::string(e.what()).find("(os error 2)"), std::string::npos) << e.what();
    }
    EXPECT_THROW(posix.read_file(path("nope")), QorelError);
    EXPECT_THROW(posix.map_file(path("nope")), QorelError);

    // Nested creation, an existing directory, and a file in the way.
    posix.create_directories(path("x/y//z/"));
    EXPECT_TRUE(posix.path_exists(path("x/y/z")));
    posix.create_directories(path("x/y"));
    write_bytes(path("x/file"), {1});
    EXPECT_THROW(posix.create_directories(path("x/file")), QorelError);
    EXPECT_THROW(posix.create_directories(path("x/file/sub")), QorelError);
    posix.sync_directory(path("x"));
    EXPECT_THROW(posix.sync_directory(path("x/file")), QorelError);
}

TEST_F(StorageTest, FileExistsTellsAbsenceFromFailure) {
    write_bytes(path("f"), {1, 2, 3, 4, 5});
    EXPECT_TRUE(posix.file_exists(path("f")));
    EXPECT_FALSE(posix.file_exists(path("missing")));
    EXPECT_FALSE(posix.file_exists(path("f/under_a_file")));  // ENOTDIR is absence too
    // A file that is there but cannot be reached is an error, never "missing".
    std::filesystem::create_symlink(path("loop"), path("loop"));
    try {
        posix.file_exists(path("loop"));
        ADD_FAILURE() << "a symbolic-link loop was taken for a missing file";
    } catch (const QorelError& e) {
        EXPECT_NE(std::string(e.what()).find("(os error 40)"), std::string::npos) << e.what();
    }

    EXPECT_EQ(posix.file_size(path("f")), 5u);
    EXPECT_EQ(posix.read_file_range(path("f"), 1, 3), (Bytes{2, 3, 4}));
    EXPECT_EQ(posix.read_file_range(path("f"), 3, 10), (Bytes{4, 5}));  // cut at the end
    EXPECT_TRUE(posix.read_file_range(path("f"), 9, 2).empty());
    EXPECT_THROW(posix.file_size(path("missing")), QorelError);
}

TEST_F(StorageTest, FaultHookFailsCallsBeforeTheyAreMade) {
    FaultEnv env(Env::posix());
    std::vector<std::string> seen;
    env.set_hook([&seen](const char* call, const std::string& p) {
        seen.push_back(std::string(call) + ":" + std::filesystem::path(p).filename().string());
        if (seen.back() == "rename:b" || seen.back() == "close:a") throw QorelError::io_errno(ENOSPC);
    });
    {
        BufferedFileWriter w(env, path("a"), BufferedFileWriter::Mode::Truncate);
        w.write(Bytes{7});
        w.sync();
        EXPECT_THROW(w.close(), QorelError);
        EXPECT_FALSE(w.is_open());  // the descriptor is released all the same
    }
    EXPECT_THROW(env.rename_file(path("a"), path("b")), QorelError);
    env.remove_file(path("a"));
    env.set_hook({});

    // The failed rename was never made; the removal was.
    EXPECT_FALSE(posix.path_exists(path("a")));
    EXPECT_FALSE(posix.path_exists(path("b")));
    EXPECT_EQ(seen, (std::vector<std::string>{"open:a", "write:a", "fsync:a", "close:a", "rename:b", "unlink:a"}));
}

TEST(MemEnv, CrashKeepsWhatWasSyncedAndLocksGo) {
    MemEnv env;
    env.create_directories("/d/e");
    BufferedFileWriter a(env, "/d/e/a", BufferedFileWriter::Mode::Append);
    a.write(Bytes{1, 2});
    a.sync();
    env.sync_directory("/d/e");
    a.write(Bytes{3});
    a.close();
    BufferedFileWriter b(env, "/d/e/b", BufferedFileWriter::Mode::Truncate);
    b.write(Bytes{4});
    b.sync();
    b.close();
    env.rename_file("/d/e/a", "/d/e/c");  // no directory sync after either name change
    const MappedFile before = env.map_file("/d/e/c");
    const Env::LockAttempt held = env.try_lock("/d/e/lock", LockMode::Exclusive);
    ASSERT_TRUE(held.lock);
    EXPECT_TRUE(env.try_lock("/d/e/lock", LockMode::Exclusive).busy);

    env.crash();
    EXPECT_EQ(env.read_file("/d/e/a"), (Bytes{1, 2}));
    EXPECT_FALSE(env.path_exists("/d/e/b"));
    EXPECT_FALSE(env.path_exists("/d/e/c"));
    EXPECT_EQ(Bytes(before.bytes().begin(), before.bytes().end()), (Bytes{1, 2, 3}));  // a snapshot
    EXPECT_TRUE(env.try_lock("/d/e/lock", LockMode::Exclusive).lock);
}

}  // namespace
}  // namespace qorel
