// IdMap: the caller's ids and the slot each one names. Ids are held compactly: their bytes back
// to back in one arena, a fixed-size key (offset, length, slot) per id, and an open-addressing
// table of key numbers, each beside 32 bits of its id's hash. Ids tend to share one length
// ("chunk-000123"), so without the hash bits every cell a probe passes would cost a look at its
// key and a comparison of the bytes; with them, nearly every cell that is not the id is passed
// over on the table alone, and growing the table never hashes an id again. A node-based hash
// map of std::string costs about four times as much per id (a heap node, a string and a bucket
// each), a large share of a database's memory when its vectors are small.
//
// The interface is the subset of a standard map that the database uses: find, erase, [],
// emplace, iteration yielding {first: id, second: slot}. Iteration follows insertion order. An
// iterator or a reference from [] stays valid until the next insertion or erasure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types.h"

namespace qorel {

// An id as the map holds it: a view of its bytes that converts to std::string where a copy is
// wanted.
class IdView : public std::string_view {
public:
    IdView() = default;
    explicit IdView(std::string_view v) : std::string_view(v) {}
    operator std::string() const { return std::string(data(), size()); }  // NOLINT: implicit on purpose
};

class IdMap {
public:
    struct Entry {
        IdView first;
        Slot second;
    };

    class iterator {
    public:
        // By value: a reference would die with a temporary iterator (`*map.begin()`).
        Entry operator*() const { return entry_; }
        const Entry* operator->() const { return &entry_; }
        iterator& operator++() {
            ++key_;
            settle();
            return *this;
        }
        bool operator==(const iterator& o) const { return key_ == o.key_; }

    private:
        friend class IdMap;
        iterator(const IdMap* map, std::size_t key) : map_(map), key_(key) { settle(); }
        // Moves past erased keys and loads the entry of the key it stops at.
        void settle();

        const IdMap* map_;
        std::size_t key_;
        Entry entry_{};
    };
    using const_iterator = iterator;

    IdMap() = default;

    std::size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }
    // Room for `n` ids, of `bytes` bytes together, without growing the table or the arena.
    void reserve(std::size_t n, std::size_t bytes = 0);

    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, keys_.size()); }
    iterator find(std::string_view id) const;

    // The slot of `id`, inserted with slot 0 when absent.
    Slot& operator[](std::string_view id);
    std::pair<iterator, bool> emplace(std::string_view id, Slot slot);

    // An id with its hash taken, for a caller that inserts many ids in a row (an open): asking
    // for an id's table cell a few ids ahead of its insertion lets the cache misses of several
    // insertions overlap instead of following one another.
    struct Hashed {
        std::string_view id;
        std::uint32_t fragment;
    };
    static Hashed hashed(std::string_view id) { return Hashed{id, fragment(id)}; }
    // A hint only: requests the memory of the cell where a lookup of `h` starts.
    void prefetch(const Hashed& h) const {
        if (!table_.empty()) __builtin_prefetch(table_.data() + (h.fragment & mask()));
    }
    std::pair<iterator, bool> emplace(const Hashed& h, Slot slot);
    void erase(iterator it);
    std::size_t erase(std::string_view id);

private:
    struct Key {
        std::uint64_t offset;
        std::uint32_t length;  // kErased once erased
        Slot slot;
    };
    static constexpr std::uint32_t kErased = UINT32_MAX;
    // A table cell: the id's hash fragment in the high half, key number + 1 in the low half
    // (0 there marks an empty cell).
    using Cell = std::uint64_t;
    static constexpr Cell kEmpty = 0;
    static std::uint32_t key_of(Cell c) { return static_cast<std::uint32_t>(c); }
    static std::uint32_t fragment_of(Cell c) { return static_cast<std::uint32_t>(c >> 32); }
    static Cell cell_value(std::uint32_t fragment, std::size_t key) {
        return (Cell{fragment} << 32) | static_cast<std::uint32_t>(key + 1);
    }

    std::string_view id_of(const Key& k) const { return {arena_.data() + k.offset, k.length}; }
    std::size_t mask() const { return table_.size() - 1; }
    // An id's place in the table and its tag alike come from this fragment of its hash.
    static std::uint32_t fragment(std::string_view id);
    // The table cell holding `id` (whose fragment is `f`), or the empty cell where it would go.
    std::size_t probe(std::string_view id, std::uint32_t f) const;
    // Inserts at `cell`, the empty cell probe() found for `id` in the current table.
    std::size_t insert_at(std::size_t cell, std::uint32_t f, std::string_view id, Slot slot);
    // Grows the table when one more id would pass its load limit.
    void grow_for_one();
    void remove_cell(std::size_t cell);
    // Puts `c` in the first empty cell from its home on.
    void place(Cell c);
    // A table of `cells` cells (a power of two) over the live keys.
    void rehash(std::size_t cells);
    // Drops erased keys and their bytes, renumbering the rest.
    void compact();

    std::vector<char> arena_;
    std::vector<Key> keys_;
    std::vector<Cell> table_;
    std::size_t live_ = 0;
    std::size_t erased_bytes_ = 0;
};

}  // namespace qorel
