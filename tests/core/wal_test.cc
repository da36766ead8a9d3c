// The log as a unit of failure: batches that fail leave nothing, and damage in the middle of the
// log is kept in a side file before anything is cut.
#include <gtest/gtest.h>
#include <stdlib.h>
#include "file_size_limit.h"

#include <filesystem>
#include <string>
#include <vector>

#include "error.h"
#include "storage/files.h"
#include "storage/wal.h"
#include "storage/wal_salvage.h"

namespace qorel {
namespace {

Env& posix = *Env::posix();

using Bytes = std::vector<std::uint8_t>;

WalEntry ins(std::string id, std::vector<float> v) { return WalEntry::Insert{std::move(id), std::move(v), std::nullopt}; }
WalEntry del(std::string id) { return WalEntry::Delete{std::move(id)}; }

Bytes encode_all(const std::vector<WalEntry>& entries) {
    Bytes out;
    for (const WalEntry& e : entries) encode_record(e, out);
    return out;
}

// Runs `body` while files may grow to `limit` bytes at most (writes beyond fail with EFBIG).
template <class F>
void with_file_size_limit(std::uint64_t limit, F body) {
    FileSizeLimit cap(limit);
    ASSERT_TRUE(cap.active());
    body();
}

class WalTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qorel_wal_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        log_ = dir_ + "/wal.qorel";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void write_log(const Bytes& b) {
        BufferedFileWriter w(posix, log_, BufferedFileWriter::Mode::Truncate);
        w.write(b);
        w.close();
    }
    std::string side(int n) const { return log_ + ".damaged-" + std::to_string(n); }

    std::string dir_;
    std::string log_;
};

TEST_F(WalTest, BatchAppendIsAllOrNothing) {
    Wal wal(posix, log_);
    wal.append(del("a"));
    const Bytes before = posix.read_file(log_);

    // The third record cannot be encoded: the two before it must not stay behind.
    Json deep = Json::array();
    for (std::size_t i = 1; i <= kMaxMetadataDepth; ++i) deep = Json::array({deep});
    std::vector<WalEntry> batch = {ins("b", {1}), ins("c", {2}), WalEntry::Insert{"d", {3}, deep}};
    EXPECT_THROW(wal.append(batch), QorelError);
    EXPECT_EQ(posix.read_file(log_), before);

    // A write that fails part-way (the file may not grow enough) removes what it wrote.
    std::vector<WalEntry> big;
    for (int i = 0; i < 200; ++i) big.push_back(ins("x", std::vector<float>(16, float(i))));
    with_file_size_limit(before.size() + 3000, [&] { EXPECT_THROW(wal.append(big), QorelError); });
    EXPECT_EQ(posix.read_file(log_), before);

    wal.append(std::vector<WalEntry>{del("e"), del("f")});
    EXPECT_EQ(read_wal(posix, log_).entries, (std::vector<WalEntry>{del("a"), del("e"), del("f")}));
}

// A batch logged from its block of rows must be indistinguishable on disk from the same
// inserts logged as records: replay knows only the records.
TEST_F(WalTest, BlockAppendWritesTheRecordsOfItsRows) {
    InsertBlock block{3, {"a", "bb", ""}, {1, 2, 3, -0.5f, 0, 7, 9, 9, 9}, {std::nullopt, Json{{"k", 1}}, Json::array()}};
    std::vector<WalEntry> same;
    for (std::size_t i = 0; i < block.size(); ++i)
        same.push_back(WalEntry::Insert{block.ids[i], {block.row(i).begin(), block.row(i).end()}, block.metadata[i]});
    {
        Wal wal(posix, log_);
        wal.append(block);
    }
    Bytes framed;
    encode_batch_frame(same.size(), framed);
    const Bytes records = encode_all(same);
    framed.insert(framed.end(), records.begin(), records.end());
    EXPECT_EQ(posix.read_file(log_), framed);
    EXPECT_EQ(read_wal(posix, log_).entries, same);

    // All or nothing, as for records: a row whose metadata cannot be logged leaves no row.
    Json deep = Json::array();
    for (std::size_t i = 1; i <= kMaxMetadataDepth; ++i) deep = Json::array({deep});
    block.metadata[2] = deep;
    Wal wal(posix, log_);
    EXPECT_THROW(wal.append(block), QorelError);
    EXPECT_EQ(posix.read_file(log_), framed);
}

// A batch is read whole or not at all: cut anywhere, none of it is used, its first byte is
// where the next append goes, and the cut is an interrupted append (Torn), not damage.
TEST_F(WalTest, BatchesSurviveACutWholeOrNotAtAll) {
    const std::vector<WalEntry> batch = {ins("b", {1, 2}), del("a"), WalEntry::Update{"b", std::nullopt, true, Json{{"k", 1}}}};
    {
        Wal wal(posix, log_);
        wal.append(ins("a", {0, 0}));  // a single record goes without a frame
        wal.append(batch);
        wal.append(del("z"));
    }
    const Bytes log = posix.read_file(log_);
    const std::size_t start = encode_record(ins("a", {0, 0})).size();
    const std::size_t end = log.size() - encode_record(del("z")).size();
    std::vector<WalEntry> all = {ins("a", {0, 0})};
    all.insert(all.end(), batch.begin(), batch.end());
    all.push_back(del("z"));
    EXPECT_EQ(parse_wal(log).entries, all);
    EXPECT_EQ(parse_wal(log).tail, WalTail::None);

    for (std::size_t cut = start + 1; cut < end; ++cut) {
        const Bytes torn(log.begin(), log.begin() + cut);
        WalReadResult r = parse_wal(torn);
        ASSERT_EQ(r.entries, std::vector<WalEntry>{ins("a", {0, 0})}) << cut;
        EXPECT_EQ(r.good_length, start) << cut;
        EXPECT_EQ(r.tail, WalTail::Torn) << cut;
    }
    write_log(Bytes(log.begin(), log.begin() + end - 3));
    WalReadResult file = read_wal(posix, log_);
    EXPECT_EQ(file.good_length, start);
    EXPECT_EQ(file.tail, WalTail::Torn);

    // A batch cut short with intact records behind the cut is damage, never applied in part.
    Bytes gap(log.begin(), log.begin() + end - 3);
    const Bytes more = encode_record(del("y"));
    gap.insert(gap.end(), more.begin(), more.end());
    EXPECT_EQ(parse_wal(gap).tail, WalTail::Damaged);
    EXPECT_EQ(parse_wal(gap).good_length, start);
    // So is a checksum mismatch inside a complete batch, and a batch inside a batch.
    Bytes flipped = log;
    flipped[end - 2] ^= 1;
    EXPECT_EQ(parse_wal(flipped).tail, WalTail::Damaged);
    EXPECT_EQ(parse_wal(flipped).entries, std::vector<WalEntry>{ins("a", {0, 0})});
    Bytes nested;
    encode_batch_frame(2, nested);
    encode_batch_frame(1, nested);
    encode_record(del("q"), nested);
    EXPECT_EQ(parse_wal(nested).tail, WalTail::Damaged);
    EXPECT_TRUE(parse_wal(nested).entries.empty());

    // Records of a log written before batches were framed each stand alone.
    const Bytes old = encode_all(batch);
    EXPECT_EQ(parse_wal(old).entries, batch);
    EXPECT_EQ(parse_wal(Bytes(old.begin(), old.end() - 1)).entries, (std::vector<WalEntry>{batch[0], batch[1]}));
}

TEST_F(WalTest, TheLastAppendCanBeUndone) {
    Wal wal(posix, log_);
    wal.append(del("a"));
    const Bytes before = posix.read_file(log_);
    wal.append(std::vector<WalEntry>{del("b"), del("c")});
    wal.undo_last_append();
    EXPECT_EQ(posix.read_file(log_), before);
    wal.append(del("d"));
    EXPECT_EQ(read_wal(posix, log_).entries, (std::vector<WalEntry>{del("a"), del("d")}));
}

TEST_F(WalTest, TailsAreTornOrDamaged) {
    const Bytes records = encode_all({ins("a", {1, 2}), ins("b", {3, 4}), del("a"), ins("c", {5, 6})});
    const std::size_t second = encode_record(ins("a", {1, 2})).size();
    auto check = [&](const Bytes& bytes, WalTail tail, std::uint64_t good) {
        WalReadResult memory = parse_wal(bytes);
        EXPECT_EQ(memory.tail, tail);
        EXPECT_EQ(memory.good_length, good);
        EXPECT_EQ(memory.total_length, bytes.size());
        write_log(bytes);
        WalReadResult file = read_wal(posix, log_);
        EXPECT_EQ(file.tail, tail);
        EXPECT_EQ(file.good_length, good);
    };
    check(records, WalTail::None, records.size());
    // An append cut short, at any point: nothing intact follows.
    for (std::size_t cut : {std::size_t{1}, std::size_t{4}, std::size_t{7}, std::size_t{12}}) {
        check(Bytes(records.begin(), records.end() - cut), WalTail::Torn, records.size() - encode_record(ins("c", {5, 6})).size());
    }
    // A flipped payload byte: checksum mismatch.
    Bytes flipped = records;
    flipped[second + 8] ^= 0x40;
    check(flipped, WalTail::Damaged, second);
    // A length field grown past the end looks like a cut-off record, but intact records follow.
    Bytes grown = records;
    grown[second + 1] = 0xF0;
    check(grown, WalTail::Damaged, second);
    // A length beyond any record.
    Bytes huge = records;
    huge[second + 4] = 0xFF;
    check(huge, WalTail::Damaged, second);

    EXPECT_EQ(find_intact_record(flipped, second + 1), second + encode_record(ins("b", {3, 4})).size());
    EXPECT_EQ(find_intact_record(records, 1), second);
    EXPECT_FALSE(find_intact_record(Bytes(records.begin(), records.begin() + 12), 0));
}

TEST_F(WalTest, DamagedBytesAreKeptBeforeTheLogIsCut) {
    const Bytes good = encode_all({ins("a", {1}), del("b")});
    Bytes damaged = encode_all({ins("c", {2}), del("d")});
    damaged[7] ^= 1;
    Bytes log = good;
    log.insert(log.end(), damaged.begin(), damaged.end());
    write_log(log);

    {
        Wal wal(posix, log_);
        WalReadResult r = wal.read_for_replay();
        EXPECT_EQ(r.entries.size(), 2u);
        ASSERT_TRUE(wal.kept_damage());
        EXPECT_EQ(*wal.kept_damage(), side(1));
        EXPECT_EQ(posix.read_file(side(1)), damaged);
        EXPECT_EQ(posix.read_file(log_), good);  // cut at once: the next open finds nothing to keep
        wal.append(del("e"));
    }
    {
        Wal wal(posix, log_);
        EXPECT_EQ(wal.read_for_replay().tail, WalTail::None);
        EXPECT_FALSE(wal.kept_damage());
    }

    // A second damaged log goes to the next free name; existing side files stay as they were.
    write_log(log);
    {
        Wal wal(posix, log_);
        wal.read_for_replay();
        EXPECT_EQ(wal.kept_damage(), side(2));
    }
    EXPECT_EQ(posix.read_file(side(1)), damaged);
    EXPECT_EQ(posix.read_file(side(2)), damaged);

    // A torn tail holds nothing intact: no side file, and the cut waits for the next append.
    Bytes torn = good;
    torn.insert(torn.end(), damaged.begin(), damaged.begin() + 6);
    write_log(torn);
    {
        Wal wal(posix, log_);
        EXPECT_EQ(wal.read_for_replay().tail, WalTail::Torn);
        EXPECT_FALSE(wal.kept_damage());
        EXPECT_EQ(posix.read_file(log_), torn);
        wal.append(del("f"));
    }
    EXPECT_EQ(read_wal(posix, log_).entries, (std::vector<WalEntry>{ins("a", {1}), del("b"), del("f")}));
    EXPECT_FALSE(std::filesystem::exists(side(3)));
}

TEST_F(WalTest, NothingIsCutWhileTheDamageCannotBeKept) {
    const Bytes good = encode_all({del("a")});
    Bytes damaged = encode_all({ins("c", std::vector<float>(500, 1.0f)), del("d")});
    damaged[9] ^= 1;
    Bytes log = good;
    log.insert(log.end(), damaged.begin(), damaged.end());
    write_log(log);

    Wal wal(posix, log_);
    // The side file cannot grow to the damaged bytes' size: no copy, so no cut either, and an
    // append (which would cut) fails instead.
    with_file_size_limit(1000, [&] {
        EXPECT_EQ(wal.read_for_replay().good_length, good.size());
        EXPECT_FALSE(wal.kept_damage());
        EXPECT_THROW(wal.append(del("x")), QorelError);
    });
    EXPECT_EQ(posix.read_file(log_), log);
    EXPECT_FALSE(std::filesystem::exists(side(1)));

    wal.append(del("y"));
    EXPECT_EQ(posix.read_file(side(1)), damaged);
    EXPECT_EQ(read_wal(posix, log_).entries, (std::vector<WalEntry>{del("a"), del("y")}));

    // A save closes the writer before it deletes the log: the copy is made there too.
    write_log(log);
    Wal saved(posix, log_);
    with_file_size_limit(1000, [&] { saved.read_for_replay(); });
    saved.close_writer();
    EXPECT_EQ(posix.read_file(side(2)), damaged);
}

}  // namespace
}  // namespace qorel
