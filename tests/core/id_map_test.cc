// The compact id map against a standard map under long random runs of the operations the
// database uses: probe runs that wrap around the table, erasures that shift members back into
// the hole, growth and the dropping of erased keys all have to keep every id findable.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "db/id_map.h"

namespace qorel {
namespace {

void expect_same(const IdMap& map, const std::map<std::string, Slot>& model) {
    ASSERT_EQ(map.size(), model.size());
    std::map<std::string, Slot> seen;
    for (const auto& [id, slot] : map) EXPECT_TRUE(seen.emplace(id, slot).second) << "listed twice: " << id;
    EXPECT_EQ(seen, model);
    for (const auto& [id, slot] : model) {
        auto it = map.find(id);
        ASSERT_NE(it, map.end()) << id;
        EXPECT_EQ(it->second, slot);
        EXPECT_EQ(std::string_view(it->first), id);
    }
}

TEST(IdMap, AgreesWithAStandardMapUnderRandomOperations) {
    std::mt19937 rng(7);
    IdMap map;
    std::map<std::string, Slot> model;
    // Few distinct ids, so that the same ones are inserted, erased and inserted again; lengths
    // from empty to long.
    auto some_id = [&] {
        const unsigned n = rng() % 3000;
        return std::string(n % 7 == 0 ? 0 : n % 5, 'x') + std::to_string(n) + (n % 11 == 0 ? std::string(40, 'y') : "");
    };
    for (int step = 0; step < 60000; ++step) {
        const std::string id = some_id();
        const Slot slot = static_cast<Slot>(rng());
        switch (rng() % 5) {
            case 0:
                map[id] = slot;
                model[id] = slot;
                break;
            case 1:
                EXPECT_EQ(map.emplace(id, slot).second, model.emplace(id, slot).second);
                break;
            case 2:
                EXPECT_EQ(map.erase(id), model.erase(id));
                break;
            case 3:
                if (auto it = map.find(id); it != map.end()) {
                    map.erase(it);
                    model.erase(id);
                } else {
                    EXPECT_EQ(model.count(id), 0u);
                }
                break;
            default:
                EXPECT_EQ(map.find(id) != map.end(), model.count(id) == 1);
                break;
        }
        if (step % 5000 == 0) expect_same(map, model);
    }
    expect_same(map, model);
    // Erasing everything leaves an empty map that fills again.
    while (!model.empty()) {
        EXPECT_EQ(map.erase(model.begin()->first), 1u);
        model.erase(model.begin());
    }
    expect_same(map, model);
    map.reserve(500);
    for (Slot s = 0; s < 500; ++s) map["id" + std::to_string(s)] = s;
    for (Slot s = 0; s < 500; ++s) model["id" + std::to_string(s)] = s;
    expect_same(map, model);
}

TEST(IdMap, IdsConvertToStringsWhereCopiesAreWanted) {
    IdMap map;
    map.emplace(std::string("a\0b", 3), 4);
    const auto& [id, slot] = *map.begin();
    const std::string copy = id;
    EXPECT_EQ(copy, std::string("a\0b", 3));
    EXPECT_EQ(slot, 4u);
    IdMap moved = std::move(map);
    EXPECT_EQ(moved.find(copy)->second, 4u);
}

// An empty id in a map whose byte arena is still empty: found without reading the arena.
TEST(IdMap, EmptyIdAloneInTheMapIsFound) {
    IdMap map;
    map.emplace("", 9);
    ASSERT_NE(map.find(""), map.end());
    EXPECT_EQ(map.find("")->second, 9u);
    EXPECT_EQ(map.find("a"), map.end());
    EXPECT_EQ(map.erase(""), 1u);
    EXPECT_EQ(map.find(""), map.end());
}

// Table cells carry 32 bits of each id's hash, and a probe passes over cells whose bits differ.
// Among a quarter of a million ids of one length some pairs share those bits: each id must still
// come back with its own slot, through growth, hashed-ahead insertion, erasure and compaction.
TEST(IdMap, IdsSharingHashBitsKeepTheirOwnSlots) {
    constexpr Slot kIds = 250000;
    auto name = [](Slot s) {
        std::string id = "chunk-000000";
        for (std::size_t i = id.size(); s != 0; s /= 10) id[--i] = static_cast<char>('0' + s % 10);
        return id;
    };
    IdMap map;
    for (Slot s = 0; s < kIds; ++s) {
        const std::string id = name(s);
        const IdMap::Hashed h = IdMap::hashed(id);
        map.prefetch(h);
        ASSERT_TRUE((s % 2 ? map.emplace(h, s) : map.emplace(id, s)).second) << id;
    }
    ASSERT_EQ(map.size(), kIds);
    for (Slot s = 0; s < kIds; ++s) {
        const auto it = map.find(name(s));
        ASSERT_NE(it, map.end()) << s;
        ASSERT_EQ(it->second, s);
        ASSERT_FALSE(map.emplace(name(s), s + 1).second);
    }
    // Erasing most ids drops their keys; the rest are found under their new key numbers.
    for (Slot s = 0; s < kIds; ++s) {
        if (s % 5 != 0) {
            ASSERT_EQ(map.erase(name(s)), 1u);
        }
    }
    ASSERT_EQ(map.size(), kIds / 5);
    for (Slot s = 0; s < kIds; ++s) {
        const auto it = map.find(name(s));
        ASSERT_EQ(it != map.end(), s % 5 == 0) << s;
        if (s % 5 == 0) {
            ASSERT_EQ(it->second, s);
        }
    }
}

}  // namespace
}  // namespace qorel
