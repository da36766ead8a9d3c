#include "id_map.h"

#include <cstring>
#include <functional>

#include "error.h"

namespace qorel {

namespace {

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

std::uint32_t IdMap::fragment(std::string_view id) {
    const std::uint64_t h = std::hash<std::string_view>{}(id);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
}

std::size_t IdMap::probe(std::string_view id, std::uint32_t f) const {
    for (std::size_t cell = f & mask();; cell = (cell + 1) & mask()) {
        const Cell c = table_[cell];
        if (c == kEmpty) return cell;
        if (fragment_of(c) != f) continue;
        const Key& k = keys_[key_of(c) - 1];
        // An empty id may meet an empty arena, whose data() is null: memcmp must not see it.
        if (k.length == id.size() && (id.empty() || std::memcmp(arena_.data() + k.offset, id.data(), id.size()) == 0))
            return cell;
    }
}

IdMap::iterator IdMap::find(std::string_view id) const {
    if (live_ == 0) return end();
    const Cell c = table_[probe(id, fragment(id))];
    return c == kEmpty ? end() : iterator(this, key_of(c) - 1);
}

void IdMap::grow_for_one() {
    if ((live_ + 1) * 4 > table_.size() * 3) rehash(std::max<std::size_t>(16, table_.size() * 2));
}

std::size_t IdMap::insert_at(std::size_t cell, std::uint32_t f, std::string_view id, Slot slot) {
    QOREL_ASSERT(id.size() < kErased && keys_.size() + 1 < kErased, "too many ids for the id map");
    keys_.push_back(Key{arena_.size(), static_cast<std::uint32_t>(id.size()), slot});
    arena_.insert(arena_.end(), id.begin(), id.end());
    table_[cell] = cell_value(f, keys_.size() - 1);
    ++live_;
    return keys_.size() - 1;
}

Slot& IdMap::operator[](std::string_view id) {
    const std::uint32_t f = fragment(id);
    if (live_ > 0) {
        const Cell c = table_[probe(id, f)];
        if (c != kEmpty) return keys_[key_of(c) - 1].slot;
    }
    grow_for_one();
    return keys_[insert_at(probe(id, f), f, id, 0)].slot;
}

std::pair<IdMap::iterator, bool> IdMap::emplace(std::string_view id, Slot slot) { return emplace(hashed(id), slot); }

std::pair<IdMap::iterator, bool> IdMap::emplace(const Hashed& h, Slot slot) {
    // One probe serves both the lookup and the insertion (growing first keeps the cell valid).
    grow_for_one();
    const std::size_t cell = probe(h.id, h.fragment);
    if (const Cell c = table_[cell]; c != kEmpty) return {iterator(this, key_of(c) - 1), false};
    return {iterator(this, insert_at(cell, h.fragment, h.id, slot)), true};
}

// Backward-shift deletion: later members of the probe run move up into the hole, so that
// lookups never need markers for erased cells.
void IdMap::remove_cell(std::size_t cell) {
    std::size_t hole = cell;
    for (std::size_t next = (hole + 1) & mask(); table_[next] != kEmpty; next = (next + 1) & mask()) {
        const std::size_t home = fragment_of(table_[next]) & mask();
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
    const std::string_view id = id_of(keys_[k]);
    remove_cell(probe(id, fragment(id)));
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

void IdMap::place(Cell c) {
    std::size_t cell = fragment_of(c) & mask();
    while (table_[cell] != kEmpty) cell = (cell + 1) & mask();
    table_[cell] = c;
}

void IdMap::rehash(std::size_t cells) {
    // The cells carry their fragments: moving them needs no id.
    std::vector<Cell> old(cells, kEmpty);
    old.swap(table_);
    for (const Cell c : old) {
        if (c != kEmpty) place(c);
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
    // Key numbers changed, so the cells are made afresh.
    table_.assign(cells_for(live_), kEmpty);
    for (std::size_t k = 0; k < keys_.size(); ++k) place(cell_value(fragment(id_of(keys_[k])), k));
}

}  // namespace qorel
