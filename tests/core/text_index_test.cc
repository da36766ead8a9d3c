#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <set>
#include <stdexcept>

#include "storage/wal_codec.h"
#include "text/text_index.h"
#include "text/tokenizer.h"

namespace qorel {
namespace {

using Words = std::vector<std::string>;

TEST(Tokenizer, FoldsCaseAcrossScriptsAndSplitsWords) {
    EXPECT_EQ(tokenize("Straße STRASSE strasse", false), (Words{"strasse", "strasse", "strasse"}));
    EXPECT_EQ(tokenize("ΣΟΦΙΑ σοφια", false), tokenize("σοφια σοφια", false));
    EXPECT_EQ(tokenize("ПРИВЕТ, мир!", false), (Words{"привет", "мир"}));
    // Letters and digits of any script make words; punctuation and symbols separate them.
    EXPECT_EQ(tokenize("abc123 x-y_z 4.5 naïve", false), (Words{"abc123", "x", "y", "z", "4", "5", "naïve"}));
    // A combining mark continues its word (a decomposed accent stays inside it).
    EXPECT_EQ(tokenize("cafe\xCC\x81 ok", false), (Words{"cafe\xCC\x81", "ok"}));
}

TEST(Tokenizer, ScriptsWithoutSpacesGiveOneWordPerCharacter) {
    EXPECT_EQ(tokenize("東京タワーへ行く", false), (Words{"東", "京", "タ", "ワ", "ー", "へ", "行", "く"}));
    EXPECT_EQ(tokenize("abc東京def", false), (Words{"abc", "東", "京", "def"}));
    // Thai letters with their combining vowels.
    EXPECT_EQ(tokenize("กิน", false).size(), 2u);
    // Hangul is written with spaces: its syllables make ordinary words.
    EXPECT_EQ(tokenize("한국어 문장", false), (Words{"한국어", "문장"}));
}

TEST(Tokenizer, InvalidUtf8SeparatesWordsAndNeverStops) {
    EXPECT_EQ(tokenize("ab\xFF" "cd\xC0\x80" "ef\xED\xA0\x80gh\xE6\x9D", false), (Words{"ab", "cd", "ef", "gh"}));
    EXPECT_EQ(tokenize(std::string("a\0b", 3), false), (Words{"a", "b"}));
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::string junk(64, '\0');
        for (char& c : junk) c = static_cast<char>(rng());
        for (const std::string& w : tokenize(junk, round % 2 == 0)) EXPECT_FALSE(w.empty());
    }
    // One huge word is cut at a character boundary.
    std::string long_word;
    for (int i = 0; i < 300; ++i) long_word += "é";
    const Words cut = tokenize(long_word, false);
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_LE(cut[0].size(), kMaxTokenBytes);
    EXPECT_EQ(cut[0].size() % 2, 0u);
}

TEST(Tokenizer, StemsEnglishOnlyWhenAsked) {
    EXPECT_EQ(tokenize("Running runs ran", true), (Words{"run", "run", "ran"}));
    EXPECT_EQ(tokenize("Running runs", false), (Words{"running", "runs"}));
    EXPECT_EQ(tokenize("connection connected", true), (Words{"connect", "connect"}));
    EXPECT_EQ(tokenize("東京", true), (Words{"東", "京"}));
}

// BM25 computed the plain way: every document scored against every distinct query word.
std::vector<TextHit> reference(const std::map<Slot, std::string>& docs, const std::string& query, bool stem,
                               std::size_t k, const std::set<Slot>& excluded = {}) {
    std::map<Slot, Words> words;
    double total = 0;
    for (const auto& [s, text] : docs) {
        words[s] = tokenize(text, stem);
        total += static_cast<double>(words[s].size());
    }
    const double n_docs = static_cast<double>(docs.size());
    const double avgdl = total > 0 ? total / n_docs : 1.0;
    Words q = tokenize(query, stem);
    std::sort(q.begin(), q.end());
    q.erase(std::unique(q.begin(), q.end()), q.end());
    std::vector<TextHit> hits;
    for (const auto& [s, w] : words) {
        if (excluded.count(s)) continue;
        double score = 0;
        bool any = false;
        for (const std::string& term : q) {
            const double tf = static_cast<double>(std::count(w.begin(), w.end(), term));
            if (tf == 0) continue;
            any = true;
            double n = 0;
            for (const auto& [_, other] : words) n += std::count(other.begin(), other.end(), term) > 0;
            const double idf = std::max(1e-6, std::log((n_docs - n + 0.5) / (n + 0.5)));
            score += idf * tf * 2.2 / (tf + 1.2 * (0.25 + 0.75 * static_cast<double>(w.size()) / avgdl));
        }
        if (any) hits.push_back({s, score});
    }
    std::sort(hits.begin(), hits.end(), [](const TextHit& a, const TextHit& b) {
        return a.score > b.score + 1e-12 || (std::abs(a.score - b.score) <= 1e-12 && a.slot < b.slot);
    });
    if (hits.size() > k) hits.resize(k);
    return hits;
}

void expect_same(const std::vector<TextHit>& got, const std::vector<TextHit>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].slot, want[i].slot) << "rank " << i;
        EXPECT_NEAR(got[i].score, want[i].score, 1e-9);
    }
}

TEST(TextIndex, ScoresEqualTheReferenceThroughChanges) {
    const Words vocabulary{"apple", "banana", "cherry", "date", "elder", "fig", "grape", "runs", "running", "東"};
    std::mt19937 rng(11);
    auto sentence = [&] {
        std::string s;
        const int n = 1 + static_cast<int>(rng() % 9);
        for (int i = 0; i < n; ++i) s += vocabulary[rng() % vocabulary.size()] + (rng() % 3 ? " " : ", ");
        return s;
    };
    for (const bool stem : {false, true}) {
        TextIndex index;
        index.configure({"text", stem});
        std::map<Slot, std::string> docs;
        for (int step = 0; step < 400; ++step) {
            const Slot s = rng() % 60;
            if (rng() % 4 == 0) {
                index.remove(s);
                docs.erase(s);
            } else {
                docs[s] = sentence();
                index.index(s, docs[s]);
            }
        }
        docs[60] = "";  // an empty text is a document of no words
        index.index(60, "");
        EXPECT_EQ(index.document_count(), docs.size());
        for (const std::string query : {"apple", "banana cherry", "runs grape grape", "東 fig date elder", "nothing"}) {
            for (const std::size_t k : {1, 5, 100}) expect_same(index.search(query, k, nullptr), reference(docs, query, stem, k));
        }
        const std::function<bool(Slot)> even = [](Slot s) { return s % 2 == 0; };
        std::set<Slot> odd;
        for (const auto& [s, _] : docs)
            if (s % 2) odd.insert(s);
        expect_same(index.search("apple banana", 7, &even), reference(docs, "apple banana", stem, 7, odd));

        // The documents split over two indexes: each scores as the whole index does when given
        // the statistics summed over both.
        TextIndex parts[2];
        for (TextIndex& part : parts) part.configure({"text", stem});
        for (const auto& [s, text] : docs) parts[s % 2].index(s, text);
        const Words queries{"banana cherry", "runs grape 東", "nothing"};
        TextStats summed;
        for (const TextIndex& part : parts) {
            const TextStats own = part.stats(queries);
            summed.documents += own.documents;
            summed.total_length += own.total_length;
            for (const auto& [word, n] : own.frequency) summed.frequency[word] += n;
        }
        for (const std::string& query : queries) {
            parts[0].check_stats({query}, summed);
            expect_same(parts[0].search(query, 100, nullptr, &summed), reference(docs, query, stem, 100, odd));
        }
        TextStats partial = summed;
        partial.frequency.erase(tokenize("banana", stem).front());
        EXPECT_THROW(parts[0].check_stats(queries, partial), std::invalid_argument);
        partial = summed;
        partial.frequency[tokenize("banana", stem).front()] = partial.documents + 1;
        EXPECT_THROW(parts[0].check_stats(queries, partial), std::invalid_argument);
    }
}

TEST(TextIndex, IndexesOnlyStringFieldsOfObjects) {
    TextIndex index;
    index.configure({"body", false});
    const Json with = {{"body", "hello world"}};
    const Json number = {{"body", 5}};
    const Json list = Json::array({"body"});
    index.index_metadata(0, &with);
    index.index_metadata(1, &number);
    index.index_metadata(2, &list);
    index.index_metadata(3, nullptr);
    EXPECT_EQ(index.document_count(), 1u);
    index.index_metadata(0, &number);  // the slot's text went away
    EXPECT_EQ(index.document_count(), 0u);
    EXPECT_TRUE(index.search("hello", 10, nullptr).empty());
    EXPECT_EQ(index.term_count(), 0u);
}

}  // namespace
}  // namespace qorel

namespace qorel {
namespace {

TEST(TextIndexRecord, RoundTripsThroughTheLogCodec) {
    for (const bool stem : {false, true}) {
        const WalEntry entry(WalEntry::EnableText{"body ü", stem});
        const std::vector<std::uint8_t> bytes = encode_record(entry);
        EXPECT_EQ(entry.kind(), WalKind::EnableText);
        EXPECT_TRUE(entry.id().empty());
        const std::span<const std::uint8_t> payload(bytes.data() + 5, bytes.size() - kWalRecordOverhead);
        const std::optional<WalEntry> back = decode_payload(bytes[0], payload);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(*back, entry);
        EXPECT_FALSE(decode_payload(bytes[0], payload.first(3)).has_value());  // cut short
    }
}

}  // namespace
}  // namespace qorel
