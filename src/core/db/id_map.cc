#include "id_map.h"

#include <cstring>
#include <functional>

#include "error.h"

namespace qorel {

namespace {

std::size_t hash_of(std::string_view id) { return std::hash<std::string_view>{}(id); }

// Cells for `n` ids at a load of at most three quarters: a power of two, at least 16.
std::size_t cells_for(std::size_t n) {
    std::size_t cells = 16;
    while (cells * 3 < n * 4) cells *= 2;
    return cells;
}

}  // namespace

void IdMap::iterator::settle() {
    const std::vector<Key>& keys = map_->keys_;
    while (key_ < keys.size() && keys[key_].length == kErased) ++key_;
    if (key_ < keys.size()) entry_ = Entry{IdView(map_->id_of(keys[key_])), keys[key_].slot};
}

void IdMap::reserve(std::size_t n, std::size_t bytes) {
    if (n > live_ && cells_for(n) > table_.size()) rehash(cells_for(n));
    if (arena_.size() + bytes > arena_.capacity()) arena_.reserve(arena_.size() + bytes);
    const std::size_t keys = keys_.size() - live_ + n;
    if (keys > keys_.capacity()) keys_.reserve(std::max(keys, 2 * keys_.capacity()));
}

std::size_t IdMap::probe(std::string_view id) const {
    for (std::size_t cell = hash_of(id) & mask();; cell = (cell + 1) & mask()) {
        const std::uint32_t v = table_[cell];
        if (v == kEmpty) return cell;
        const Key& k = keys_[v - 1];
        // An empty id may meet an empty arena, whose data() is null: memcmp must not see it.
        if (k.length == id.size() && (id.empty() || std::memcmp(arena_.data() + k.offset, id.data(), id.size()) == 0))
            return cell;
    }
}

IdMap::iterator IdMap::find(std::string_view id) const {
    if (live_ == 0) return end();
    const std::uint32_t v = table_[probe(id)];
    return v == kEmpty ? end() : iterator(this, v - 1);
}

void IdMap::grow_for_one() {
    if ((live_ + 1) * 4 > table_.size() * 3) rehash(std::max<std::size_t>(16, table_.size() * 2));
}

std::size_t IdMap::insert_new(std::string_view id, Slot slot) {
    grow_for_one();
    return insert_at(probe(id), id, slot);
}

std::size_t IdMap::insert_at(std::size_t cell, std::string_view id, Slot slot) {
    QOREL_ASSERT(id.size() < kErased && keys_.size() + 1 < kErased, "too many ids for the id map");
    keys_.push_back(Key{arena_.size(), static_cast<std::uint32_t>(id.size()), slot});
    arena_.insert(arena_.end(), id.begin(), id.end());
    table_[cell] = static_cast<std::uint32_t>(keys_.size());
    ++live_;
    return keys_.size() - 1;
}

Slot& IdMap::operator[](std::string_view id) {
    if (live_ > 0) {
        const std::uint32_t v = table_[probe(id)];
        if (v != kEmpty) return keys_[v - 1].slot;
    }
    return keys_[insert_new(id, 0)].slot;
}

std::pair<IdMap::iterator, bool> IdMap::emplace(std::string_view id, Slot slot) {
    // One probe serves both the lookup and the insertion (growing first keeps the cell valid).
    grow_for_one();
    const std::size_t cell = probe(id);
    if (const std::uint32_t v = table_[cell]; v != kEmpty) return {iterator(this, v - 1), false};
    return {iterator(this, insert_at(cell, id, slot)), true};
}

// Backward-shift deletion: later members of the probe run move up into the hole, so that
// lookups never need markers for erased cells.
void IdMap::remove_cell(std::size_t cell) {
    std::size_t hole = cell;
    for (std::size_t next = (hole + 1) & mask(); table_[next] != kEmpty; next = (next + 1) & mask()) {
        const std::size_t home = hash_of(id_of(keys_[table_[next] - 1])) & mask();
        // The member may fill the hole when the hole lies on its way from its home cell.
        if (((next - home) & mask()) >= ((next - hole) & mask())) {
            table_[hole] = table_[next];
            hole = next;
        }
    }
    table_[hole] = kEmpty;
}

void IdMap::erase(iterator it) {
    const std::size_t k = it.key_;
    QOREL_ASSERT(k < keys_.size() && keys_[k].length != kErased, "erasing an id the map does not hold");
    remove_cell(probe(id_of(keys_[k])));
    erased_bytes_ += keys_[k].length;
    keys_[k].length = kErased;
    --live_;
    // Erased keys and bytes are dropped once they outweigh the live ones.
    if (keys_.size() - live_ > live_ + 1024 || erased_bytes_ > arena_.size() / 2 + 65536) compact();
}

std::size_t IdMap::erase(std::string_view id) {
    auto it = find(id);
    if (it == end()) return 0;
    erase(it);
    return 1;
}

void IdMap::rehash(std::size_t cells) {
    table_.assign(cells, kEmpty);
    for (std::size_t k = 0; k < keys_.size(); ++k) {
        if (keys_[k].length == kErased) continue;
        std::size_t cell = hash_of(id_of(keys_[k])) & mask();
        while (table_[cell] != kEmpty) cell = (cell + 1) & mask();
        table_[cell] = static_cast<std::uint32_t>(k + 1);
    }
}

void IdMap::compact() {
    std::vector<char> arena;
    arena.reserve(arena_.size() - erased_bytes_);
    std::vector<Key> keys;
    keys.reserve(live_);
    for (const Key& k : keys_) {
        if (k.length == kErased) continue;
        keys.push_back(Key{arena.size(), k.length, k.slot});
        arena.insert(arena.end(), arena_.begin() + static_cast<std::ptrdiff_t>(k.offset),
                     arena_.begin() + static_cast<std::ptrdiff_t>(k.offset + k.length));
    }
    arena_ = std::move(arena);
    keys_ = std::move(keys);
    erased_bytes_ = 0;
    rehash(cells_for(live_));
}

}  // namespace qorel
