#include "text/text_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "text/tokenizer.h"

namespace qorel {

namespace {

// Hit a ranks before hit b: higher score, then lower slot.
bool better(const TextHit& a, const TextHit& b) { return a.score > b.score || (a.score == b.score && a.slot < b.slot); }

// The best k hits offered, admitted by the caller's test only when they would enter.
class BestK {
public:
    BestK(std::size_t k, const std::function<bool(Slot)>* admit) : k_(k), admit_(admit) {}

    void offer(Slot slot, double score) {
        const TextHit hit{slot, score};
        if (heap_.size() < k_) {
            if (admit_ && !(*admit_)(slot)) return;
            heap_.push_back(hit);
            std::push_heap(heap_.begin(), heap_.end(), better);  // the worst kept on top
            return;
        }
        if (!better(hit, heap_.front())) return;
        if (admit_ && !(*admit_)(slot)) return;
        std::pop_heap(heap_.begin(), heap_.end(), better);
        heap_.back() = hit;
        std::push_heap(heap_.begin(), heap_.end(), better);
    }

    std::vector<TextHit> take() {
        std::sort(heap_.begin(), heap_.end(), better);
        return std::move(heap_);
    }

private:
    std::size_t k_;
    const std::function<bool(Slot)>* admit_;
    std::vector<TextHit> heap_;
};

// Scores summed per slot over several words: open addressing over a table sized to the
// postings read (never to the collection), reused by the thread from query to query and
// cleared only as far as it was used.
struct Accumulator {
    struct Entry {
        Slot slot = kNoSlot;
        double score = 0.0;
    };
    std::vector<Entry> table;
    std::size_t mask = 0;

    void reset(std::size_t postings) {
        const std::size_t size = std::bit_ceil(std::max<std::size_t>(16, postings * 2));
        if (table.size() < size) table.resize(size);
        std::fill(table.begin(), table.begin() + static_cast<std::ptrdiff_t>(size), Entry{});
        mask = size - 1;
    }
    void add(Slot slot, double score) {
        std::size_t i = (slot * std::size_t{0x9E3779B97F4A7C15}) >> 20 & mask;
        while (true) {
            Entry& e = table[i];
            if (e.slot == slot) {
                e.score += score;
                return;
            }
            if (e.slot == kNoSlot) {
                e.slot = slot;
                e.score = score;
                return;
            }
            i = (i + 1) & mask;
        }
    }
};

std::string_view field_text(const Json* metadata, const std::string& field) {
    if (!metadata || !metadata->is_object()) return {};
    const auto it = metadata->find(field);
    if (it == metadata->end() || !it->is_string()) return {};
    return it->get_ref<const std::string&>();
}

bool holds_text(const Json* metadata, const std::string& field) {
    if (!metadata || !metadata->is_object()) return false;
    const auto it = metadata->find(field);
    return it != metadata->end() && it->is_string();
}

}  // namespace

void TextIndex::configure(TextConfig config) {
    clear();
    config_ = std::move(config);
}

void TextIndex::clear() {
    ids_.clear();
    terms_.clear();
    free_ids_.clear();
    at_.clear();
    indexed_.clear();
    length_.clear();
    documents_ = 0;
    total_length_ = 0;
}

TextIndex::TermId TextIndex::intern(const std::string& word) {
    auto [it, fresh] = ids_.try_emplace(word, 0);
    if (!fresh) return it->second;
    TermId id;
    if (!free_ids_.empty()) {
        id = free_ids_.back();
        free_ids_.pop_back();
        terms_[id].word = word;
    } else {
        id = static_cast<TermId>(terms_.size());
        terms_.push_back(Term{word, {}});
    }
    it->second = id;
    return id;
}

void TextIndex::index_metadata(Slot s, const Json* metadata) {
    if (config_ && holds_text(metadata, config_->field)) {
        index(s, field_text(metadata, config_->field));
    } else {
        remove(s);
    }
}

void TextIndex::index(Slot s, std::string_view text) {
    remove(s);
    if (!config_) return;
    std::vector<std::string> words = tokenize(text, config_->stem);
    std::sort(words.begin(), words.end());
    if (s >= at_.size()) {
        const std::size_t size = std::max<std::size_t>(std::size_t{s} + 1, at_.size() + at_.size() / 2);
        at_.resize(size);
        indexed_.resize(size, 0);
        length_.resize(size, 0);
    }
    const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(words.size(), UINT32_MAX));
    std::vector<Held>& held = at_[s];
    for (std::size_t i = 0; i < words.size();) {
        std::size_t j = i + 1;
        while (j < words.size() && words[j] == words[i]) ++j;
        const TermId id = intern(words[i]);
        std::vector<Posting>& postings = terms_[id].postings;
        held.push_back({id, static_cast<std::uint32_t>(postings.size())});
        postings.push_back({s, static_cast<std::uint32_t>(j - i), length});
        i = j;
    }
    indexed_[s] = 1;
    length_[s] = length;
    ++documents_;
    total_length_ += length;
}

void TextIndex::remove(Slot s) {
    if (s >= indexed_.size() || indexed_[s] == 0) return;
    for (const Held& h : at_[s]) {
        Term& term = terms_[h.term];
        std::vector<Posting>& postings = term.postings;
        const Posting moved = postings.back();
        postings[h.position] = moved;
        postings.pop_back();
        if (moved.slot != s) {
            for (Held& other : at_[moved.slot]) {
                if (other.term == h.term) {
                    other.position = h.position;
                    break;
                }
            }
        }
        if (postings.empty()) {
            ids_.erase(term.word);
            std::string().swap(term.word);
            std::vector<Posting>().swap(postings);
            free_ids_.push_back(h.term);
        }
    }
    std::vector<Held>().swap(at_[s]);
    indexed_[s] = 0;
    --documents_;
    total_length_ -= length_[s];
    length_[s] = 0;
}

std::vector<std::string> TextIndex::query_words(std::string_view query) const {
    std::vector<std::string> words = tokenize(query, config_->stem);
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    return words;
}

std::size_t TextIndex::holding(const std::string& word) const {
    const auto it = ids_.find(word);
    return it == ids_.end() ? 0 : terms_[it->second].postings.size();
}

TextStats TextIndex::stats(const std::vector<std::string>& queries) const {
    TextStats out;
    if (!config_) return out;
    out.documents = documents_;
    out.total_length = total_length_;
    for (const std::string& q : queries)
        for (std::string& w : query_words(q)) {
            const std::size_t n = holding(w);
            out.frequency.try_emplace(std::move(w), n);
        }
    return out;
}

void TextIndex::check_stats(const std::vector<std::string>& queries, const TextStats& given) const {
    // Statistics gathered from the parts of a collection may lag a part that was written to
    // since: counting fewer documents than this index holds is no error, only a frequency that
    // no collection of that size could have.
    if (!config_) return;
    for (const std::string& q : queries)
        for (const std::string& w : query_words(q)) {
            const auto it = given.frequency.find(w);
            if (it == given.frequency.end())
                throw std::invalid_argument("the statistics give no document frequency for the word '" + w + "'");
            if (it->second > given.documents)
                throw std::invalid_argument("the statistics give the word '" + w +
                                            "' a document frequency out of range");
        }
}

std::vector<TextHit> TextIndex::search(std::string_view query, std::size_t k, const std::function<bool(Slot)>* admit,
                                       const TextStats* given) const {
    const std::uint64_t documents = given ? given->documents : documents_;
    const std::uint64_t total_length = given ? given->total_length : total_length_;
    if (k == 0 || documents == 0 || documents_ == 0 || !config_) return {};
    const std::vector<std::string> words = query_words(query);
    struct Use {
        const std::vector<Posting>* postings;
        double idf;
    };
    std::vector<Use> uses;
    std::size_t total = 0;
    const auto n_docs = static_cast<double>(documents);
    for (const std::string& w : words) {
        const auto it = ids_.find(w);
        if (it == ids_.end()) continue;
        const std::vector<Posting>& postings = terms_[it->second].postings;
        std::uint64_t held = postings.size();
        if (given) {
            // check_stats made sure of the word; the bound keeps the weight finite regardless.
            const auto g = given->frequency.find(w);
            held = std::min(g == given->frequency.end() ? held : g->second, documents);
        }
        const auto n = static_cast<double>(held);
        const double idf = std::max(kMinIdf, std::log((n_docs - n + 0.5) / (n + 0.5)));
        uses.push_back({&postings, idf});
        total += postings.size();
    }
    if (uses.empty()) return {};
    const double avgdl = total_length > 0 ? static_cast<double>(total_length) / n_docs : 1.0;
    // The length part of the denominator, per document length: k1 (1 - b + b len / avgdl).
    const double base = kK1 * (1.0 - kB);
    const double per_word = kK1 * kB / avgdl;
    auto score = [&](const Posting& p, double idf) {
        const double tf = p.tf;
        return idf * (tf * (kK1 + 1.0)) / (tf + base + per_word * static_cast<double>(p.length));
    };
    BestK best(k, admit);
    if (uses.size() == 1) {
        for (const Posting& p : *uses[0].postings) best.offer(p.slot, score(p, uses[0].idf));
        return best.take();
    }
    thread_local Accumulator acc;
    acc.reset(total);
    for (const Use& u : uses)
        for (const Posting& p : *u.postings) acc.add(p.slot, score(p, u.idf));
    for (std::size_t i = 0; i <= acc.mask; ++i) {
        const Accumulator::Entry& e = acc.table[i];
        if (e.slot != kNoSlot) best.offer(e.slot, e.score);
    }
    return best.take();
}

}  // namespace qorel
