// The storage loader over hand-built files: what a damaged graph file may ask of it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "error.h"
#include "hnsw/index.h"
#include "codec.h"
#include "storage/crc32.h"
#include "storage/files.h"
#include "storage/graph_file.h"
#include "storage/storage.h"

namespace qorel {
namespace {

Env& posix = *Env::posix();

using Bytes = std::vector<std::uint8_t>;
// Per node, per layer, the neighbour slots.
using Nodes = std::vector<std::vector<std::vector<Slot>>>;

struct GraphFile {
    std::uint32_t dim = 2;
    std::uint32_t m = 4;
    std::uint32_t entry = 0;
    std::uint32_t max_layer = 0;
    std::uint32_t node_count = 0;  // written as is, so that it can disagree with `nodes`
    Nodes nodes;

    // Header, no deleted slots, the nodes, an empty metadata section, no trailer: the layout
    // of older saves (version 2), which needed no trailer.
    Bytes bytes() const {
        Bytes out;
        ByteWriter w(out);
        w.u32(kGraphMagic);
        w.u32(2);
        w.u32(dim);
        w.u8(1);  // euclidean
        w.u32(m);
        w.u32(20);
        w.u32(entry);
        w.u32(max_layer);
        w.u32(node_count);
        w.u32(0);
        for (const auto& layers : nodes) {
            w.u32(static_cast<std::uint32_t>(layers.size()));
            for (const auto& list : layers) {
                w.u32(static_cast<std::uint32_t>(list.size()));
                for (Slot s : list) w.u32(s);
            }
        }
        w.u32(kMetadataMagic);
        w.u32(0);
        return out;
    }
};

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qorel_loader_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        storage_ = Storage::make(posix, dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void write(const std::string& path, const Bytes& b) {
        BufferedFileWriter w(posix, path, BufferedFileWriter::Mode::Truncate);
        w.write(b);
        w.close();
    }
    // Vectors and norms for `n` slots of dimension `dim`, all zero.
    void write_vectors(std::size_t n, std::size_t dim) { write(storage_.vectors_path, Bytes(n * (dim + 1) * 4, 0)); }

    // The loader's error text, or "" when the files load.
    std::string load_error() {
        try {
            load_storage(storage_);
        } catch (const QorelError& e) {
            return e.what();
        }
        return "";
    }

    std::string dir_;
    Storage storage_;
};

TEST_F(LoaderTest, ListStorageBeyondMemoryFailsBeforeAnyIsBuilt) {
    // Lists are kept at room for their limits, about 512 KiB per node at the largest m: a
    // million minimal node records (8 MB of file) would ask for half a terabyte.
    GraphFile g;
    g.m = 65535;
    g.node_count = 1'000'000;
    g.nodes.assign(g.node_count, {{}});
    write(storage_.graph_path, g.bytes());
    write_vectors(0, g.dim);
    const std::string err = load_error();
    EXPECT_NE(err.find("graph of 1000000 slots with m = 65535 needs"), std::string::npos) << err;
    EXPECT_NE(err.find("more than this machine's memory"), std::string::npos) << err;

    // The same records with an ordinary m load (the vectors file is checked only afterwards).
    g.m = 16;
    g.node_count = 3;
    g.nodes = {{{1, 2}}, {{0}}, {{0}}};
    write(storage_.graph_path, g.bytes());
    write_vectors(3, g.dim);
    EXPECT_EQ(load_error(), "");
    LoadedStorage loaded = load_storage(storage_);
    EXPECT_EQ(loaded.index.node_count(), 3u);
    EXPECT_EQ(loaded.index.neighbours(0, 0), (std::vector<Slot>{1, 2}));
    // What the check budgeted is what the loaded lists hold.
    EXPECT_EQ(loaded.index.graph_memory_bytes(), HnswIndex::node_record_bytes(3, 0, 16));
}

// The budget the loader checks follows the index's own layout, upper lists included.
TEST(NodeRecordBytes, AreWhatTheIndexAllocatesForTheNodes) {
    const std::vector<std::size_t> levels{0, 2, 0, 1, 0, 3};
    const std::size_t upper_lists = 6;
    for (std::size_t m : {2u, 16u, 100u}) {
        HnswIndex index(2, Metric::Euclidean, m, 10);
        index.load_reserve(levels.size(), upper_lists);
        for (std::size_t level : levels) index.load_append_node(level);
        EXPECT_EQ(index.graph_memory_bytes(), HnswIndex::node_record_bytes(levels.size(), upper_lists, m)) << "m " << m;
    }
}

TEST_F(LoaderTest, NodeDamageIsReportedInFileOrder) {
    // The memory check walks the nodes before they are built; a record damaged early must still
    // be what the error names, even when the file is also cut short further on.
    write_vectors(3, 2);
    GraphFile g;
    g.node_count = 3;
    g.nodes = {{{1}}, {{0, 0, 0, 0, 0, 0, 0, 0, 0}}, {{0}}};  // 9 > 2m on layer 0
    Bytes bytes = g.bytes();
    bytes.resize(bytes.size() - 14);  // into the last node record
    write(storage_.graph_path, bytes);
    EXPECT_EQ(load_error(), "io error: slot 1 has 9 neighbours");

    g.nodes = {{{1}}, {{0}, {}}, {}};  // slot 2 has no layer at all
    write(storage_.graph_path, g.bytes());
    EXPECT_EQ(load_error(), "io error: slot 2 has 0 layers");

    // A list is checked as a whole: the first slot out of range in it is the one named.
    g.nodes = {{{1}}, {{0, 2, 9, 0, 7}}, {{0}}};
    write(storage_.graph_path, g.bytes());
    EXPECT_EQ(load_error(), "io error: neighbour slot 9 out of range");
    g.nodes = {{{1}}, {{0}}, {{0, 1, 3}}};
    write(storage_.graph_path, g.bytes());
    EXPECT_EQ(load_error(), "io error: neighbour slot 3 out of range");

    g.nodes = {{{1}}, {{0}}, {{0}}};
    bytes = g.bytes();
    bytes.resize(bytes.size() - 10);  // inside slot 2's list
    write(storage_.graph_path, bytes);
    EXPECT_EQ(load_error(), std::string("io error: ") + kUnexpectedEof);
}

TEST_F(LoaderTest, UncheckedHeaderMayNotAskForFarMoreThanItsFiles) {
    // A file without the graph checksum (an older save): one damaged byte of m turns 2000
    // one-neighbour nodes (24 KB of file) into a gigabyte of lists. Refused before any is built.
    GraphFile g;
    g.m = 65284;
    g.node_count = 2000;
    for (Slot s = 0; s < g.node_count; ++s) g.nodes.push_back({{(s + 1) % g.node_count}});
    write(storage_.graph_path, g.bytes());
    write_vectors(g.node_count, g.dim);
    const std::string err = load_error();
    EXPECT_NE(err.find("graph of 2000 slots with m = 65284 needs"), std::string::npos) << err;
    EXPECT_NE(err.find("more than its files can account for"), std::string::npos) << err;

    // The same graph with the m it was built with loads, and so does a large m on a graph small
    // enough for the allowance every database gets.
    g.m = 4;
    write(storage_.graph_path, g.bytes());
    EXPECT_EQ(load_error(), "");
    g.m = 65535;
    g.node_count = 50;
    g.nodes.resize(50);
    g.nodes.back() = {{0}};
    write(storage_.graph_path, g.bytes());
    write_vectors(50, g.dim);
    EXPECT_EQ(load_error(), "");
}

// A database saved by the engine's own writers: five vectors, two with metadata.
class SavedFilesTest : public LoaderTest {
protected:
    void SetUp() override {
        LoaderTest::SetUp();
        for (int i = 0; i < 5; ++i) index_.insert({float(i), float(i * i), 1.0f});
        records_ = {{0, "a", Json{{"k", 1}}}, {1, "b", std::nullopt}, {2, "c", Json{{"k", 3}}},
                    {3, "d", std::nullopt}, {4, "e", std::nullopt}};
        save();
    }
    void save() {
        print_.save_id = 1;
        BufferedFileWriter vectors(posix, storage_.vectors_path, BufferedFileWriter::Mode::Truncate);
        write_vectors_file(index_, vectors, print_);
        vectors.close();
        BufferedFileWriter graph(posix, storage_.graph_path, BufferedFileWriter::Mode::Truncate);
        write_graph_file(index_, records_, print_, graph);
        graph.close();
        graph_ = posix.read_file(storage_.graph_path);
    }
    // The graph file with one byte changed.
    void write_graph_with(std::size_t offset, std::uint8_t value) {
        Bytes b = graph_;
        b.at(offset) = value;
        write(storage_.graph_path, b);
    }

    HnswIndex index_{3, Metric::Euclidean, 4, 20};
    std::vector<MetaRecord> records_;
    SaveFingerprint print_;
    Bytes graph_;
};

TEST_F(SavedFilesTest, ChecksumRefusesDamageBeforeTheCountsAreUsed) {
    LoadedStorage loaded = load_storage(storage_);
    EXPECT_EQ(loaded.index.node_count(), 5u);
    EXPECT_EQ(loaded.records.size(), 5u);
    ASSERT_EQ(ByteReader(std::span<const std::uint8_t>(graph_).last(kTrailerSize)).u32(), kTrailerMagic);

    const std::string damaged = "io error: graph checksum mismatch (the file is damaged)";
    write_graph_with(14, 0xFF);  // m = 65284 instead of 4
    EXPECT_EQ(load_error(), damaged);
    write_graph_with(29, 0x7F);  // the node count
    EXPECT_EQ(load_error(), damaged);
    write_graph_with(kGraphHeaderSize + 1, 0x01);  // slot 0's layer count
    EXPECT_EQ(load_error(), damaged);
    // The fields the format fixes are reported as themselves.
    write_graph_with(12, 9);
    EXPECT_EQ(load_error(), "io error: unknown metric: 9");

    // The metadata section is not covered: a damaged text costs its record the metadata only.
    Bytes b = graph_;
    const std::string text = R"({"k":3})";
    auto at = std::search(b.begin(), b.end(), text.begin(), text.end());
    ASSERT_NE(at, b.end());
    at[6] = ']';
    write(storage_.graph_path, b);
    loaded = load_storage(storage_);
    for (const StoredRecord& r : loaded.records) EXPECT_EQ(r.has_metadata(), r.id() == "a") << r.id();

    // A trailer that no longer checks out is damage, not trailing bytes to ignore.
    write_graph_with(graph_.size() - 2, graph_[graph_.size() - 2] ^ 1);
    EXPECT_EQ(load_error(), "io error: damaged trailer at the end of the graph file");
    b = graph_;
    b.resize(b.size() - 1);
    write(storage_.graph_path, b);
    EXPECT_EQ(load_error(), "io error: damaged trailer at the end of the graph file");
}

TEST_F(LoaderTest, TrailerOfOlderSavesStillOpens) {
    // Files of an older save (graph version 2, norms at the end of vectors.bin), with the
    // 37-byte trailer of older saves still: the first 33 bytes of the version 2 trailer, with
    // version 1, then their own CRC. Such a file loads and is still checked against the vectors.
    const std::string fixture = std::string(QOREL_TEST_DATA) + "/format_v2/";
    const Bytes graph = posix.read_file(fixture + "graph.qorel");
    Bytes vectors = posix.read_file(fixture + "vectors.bin");
    Bytes old(graph.begin(), graph.end() - kTrailerV2Size);
    const std::size_t start = old.size();
    old.insert(old.end(), graph.end() - kTrailerV2Size, graph.end() - kTrailerV2Size + 33);
    old[start + 4] = 1;
    ByteWriter(old).u32(crc32(std::span<const std::uint8_t>(old).subspan(start)));
    write(storage_.graph_path, old);
    write(storage_.vectors_path, vectors);
    EXPECT_EQ(load_error(), "");

    vectors[vectors.size() - 8] ^= 0x40;  // a different norm for one slot
    write(storage_.vectors_path, vectors);
    EXPECT_EQ(load_error(), "io error: vectors.bin does not belong to graph.qorel (a save was interrupted)");
}

}  // namespace
}  // namespace qorel
