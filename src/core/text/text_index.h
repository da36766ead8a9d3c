// TextIndex: the full-text (BM25) index over one string field of the metadata.
//
// Which field, and whether words are stemmed, is the index's configuration (TextConfig); the
// database logs and saves it. The postings are derived data, like the metadata index: built
// from the stored metadata when first needed, then kept in step by every change.
//
// A slot is indexed when it is live and its metadata is an object whose member `field` is a
// string (an empty one too: it counts as a document of no words). Each word (tokenizer.h) keeps
// its postings, one per slot holding it: the slot, how often the word occurs there and the
// slot's length in words, so that scoring a posting reads nothing else. Each indexed slot keeps
// where its postings lie, so that taking it out costs one swap per distinct word.
//
// Scores are Okapi BM25 with k1 = 1.2 and b = 0.75, summed over the distinct query words a
// slot holds; a word's weight is log((N - n + 0.5) / (n + 0.5)) for N indexed slots of which
// n hold it, floored at 1e-6 so that very common words still count a little.
//
// No internal locking. REQUIRES: the database's text-index lock, exclusively for changes and
// at least shared for searches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "types.h"

namespace qorel {

struct TextConfig {
    std::string field;
    bool stem = false;
    bool operator==(const TextConfig&) const = default;
};

// What BM25 scores depend on beyond a slot's own postings: the number of indexed documents,
// their total length in words, and per word how many documents hold it. An index holding part
// of a larger collection may be given the whole collection's, so that it scores its documents
// as an index of the whole collection would.
struct TextStats {
    std::uint64_t documents = 0;
    std::uint64_t total_length = 0;
    std::unordered_map<std::string, std::uint64_t> frequency;
};

// A slot and its BM25 score (higher is better).
struct TextHit {
    Slot slot;
    double score;
};

class TextIndex {
public:
    static constexpr double kK1 = 1.2;
    static constexpr double kB = 0.75;
    static constexpr double kMinIdf = 1e-6;

    // Indexes `text` as slot s's document, replacing what s held.
    void index(Slot s, std::string_view text);
    // Indexes slot s from its metadata (nullptr: none): the field's string when there is one,
    // otherwise the slot is taken out.
    void index_metadata(Slot s, const Json* metadata);
    // Takes slot s out (nothing when it is not indexed).
    void remove(Slot s);
    void clear();

    // The k best slots for the query's words (the query is tokenized as documents are), best
    // first, ties by ascending slot; only slots that `admit` accepts (nullptr: all). `admit` is
    // asked only about slots that would enter the current best k.
    // With `given` (checked by check_stats), its statistics stand in for the index's own.
    std::vector<TextHit> search(std::string_view query, std::size_t k, const std::function<bool(Slot)>* admit,
                                const TextStats* given = nullptr) const;

    // The index's statistics for the words of `queries`, tokenized as search tokenizes them:
    // every distinct word, 0 for one that no document holds.
    TextStats stats(const std::vector<std::string>& queries) const;
    // std::invalid_argument unless `given` names every word of `queries` with a document
    // frequency no larger than its number of documents.
    void check_stats(const std::vector<std::string>& queries, const TextStats& given) const;

    // The configuration the postings follow, and its change (which clears the postings).
    const std::optional<TextConfig>& config() const { return config_; }
    void configure(TextConfig config);

    std::size_t document_count() const { return documents_; }
    std::size_t term_count() const { return ids_.size(); }

private:
    using TermId = std::uint32_t;
    struct Posting {
        Slot slot;
        std::uint32_t tf;
        std::uint32_t length;  // the slot's document length in words
    };
    struct Term {
        std::string word;
        std::vector<Posting> postings;
    };
    struct Held {
        TermId term;
        std::uint32_t position;  // where the slot's posting sits in the term's list
    };

    TermId intern(const std::string& word);
    // The distinct words of a query, sorted. REQUIRES: configured.
    std::vector<std::string> query_words(std::string_view query) const;
    // How many indexed slots hold `word`.
    std::size_t holding(const std::string& word) const;

    std::optional<TextConfig> config_;
    std::unordered_map<std::string, TermId> ids_;
    std::vector<Term> terms_;
    std::vector<TermId> free_ids_;
    std::vector<std::vector<Held>> at_;  // per slot
    std::vector<std::uint8_t> indexed_;  // per slot: 1 when indexed (possibly with no words)
    std::vector<std::uint32_t> length_;  // per slot
    std::size_t documents_ = 0;
    std::uint64_t total_length_ = 0;
};

}  // namespace qorel
