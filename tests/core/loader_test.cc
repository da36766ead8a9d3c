// The storage loader over hand-built files: what a damaged graph file may ask of it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "error.h"
#include "storage/codec.h"
#include "storage/files.h"
#include "storage/storage.h"

namespace qorel {
namespace {

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

    // Header, no deleted slots, the nodes, an empty metadata section, no trailer.
    Bytes bytes() const {
        Bytes out;
        ByteWriter w(out);
        w.u32(kGraphMagic);
        w.u32(kGraphVersion);
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
        storage_ = Storage::make(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void write(const std::string& path, const Bytes& b) {
        BufferedFileWriter w(path, BufferedFileWriter::Mode::Truncate);
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

    g.nodes = {{{1}}, {{0}}, {{0}}};
    bytes = g.bytes();
    bytes.resize(bytes.size() - 10);  // inside slot 2's list
    write(storage_.graph_path, bytes);
    EXPECT_EQ(load_error(), std::string("io error: ") + kUnexpectedEof);
}

}  // namespace
}  // namespace qorel
