#include "text/tokenizer.h"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "unicode_tables.h"

extern "C" {
#include "runtime/api.h"
#include "src_c/stem_UTF_8_english.h"
}

namespace qorel {

namespace {

namespace ut = unicode_tables;

enum Class : std::uint8_t { kOther = 0, kWord = 1, kMark = 2, kSplit = 3 };

Class classify(std::uint32_t cp) {
    if (cp < 0x80) {
        const bool word = (cp >= '0' && cp <= '9') || (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
        return word ? kWord : kOther;
    }
    const auto* end = std::end(ut::kCharRanges);
    const auto* it = std::upper_bound(std::begin(ut::kCharRanges), end, cp,
                                      [](std::uint32_t c, const ut::CharRange& r) { return c < r.first; });
    if (it == std::begin(ut::kCharRanges)) return kOther;
    --it;
    return cp <= it->last ? static_cast<Class>(it->cls) : kOther;
}

void put_utf8(std::uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Appends the case folding of cp.
void put_folded(std::uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp + 32 : cp));
        return;
    }
    const auto* end = std::end(ut::kFolds);
    const auto* it = std::lower_bound(std::begin(ut::kFolds), end, cp,
                                      [](const ut::Fold& f, std::uint32_t c) { return f.cp < c; });
    if (it == end || it->cp != cp) {
        put_utf8(cp, out);
        return;
    }
    for (const std::uint32_t to : it->to)
        if (to != 0) put_utf8(to, out);
}

// The code point at text[i], advancing i; kInvalid (and i past one byte) for a byte that does
// not start a valid, shortest-form sequence of a scalar value.
constexpr std::uint32_t kInvalid = 0xFFFFFFFF;

std::uint32_t next_code_point(std::string_view text, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    std::size_t len = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return kInvalid;
    }
    if (text.size() - i < len) {
        ++i;
        return kInvalid;
    }
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kInvalid;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return kInvalid;
    }
    i += len;
    return cp;
}

// One English stemmer per thread: a Snowball environment is not shared between threads.
struct Stemmer {
    SN_env* env = english_UTF_8_create_env();
    ~Stemmer() {
        if (env) english_UTF_8_close_env(env);
    }
    void stem(std::string& word) {
        if (!env || word.empty()) return;
        if (SN_set_current(env, static_cast<int>(word.size()), reinterpret_cast<const symbol*>(word.data())) != 0)
            return;
        if (english_UTF_8_stem(env) < 0) return;
        word.assign(reinterpret_cast<const char*>(env->p), static_cast<std::size_t>(env->l));
    }
};

Stemmer& thread_stemmer() {
    thread_local Stemmer stemmer;
    return stemmer;
}

// Cuts a word to kMaxTokenBytes without splitting a character.
void cap(std::string& word) {
    if (word.size() <= kMaxTokenBytes) return;
    std::size_t n = kMaxTokenBytes;
    while (n > 0 && (static_cast<unsigned char>(word[n]) & 0xC0) == 0x80) --n;
    word.resize(n);
}

}  // namespace

void tokenize(std::string_view text, bool stem, std::vector<std::string>& out) {
    std::string word;
    bool single = false;  // the word is one character of a script without spaces
    auto finish = [&] {
        if (word.empty()) return;
        if (stem && !single) thread_stemmer().stem(word);
        cap(word);
        if (!word.empty()) out.push_back(std::move(word));
        word.clear();
        single = false;
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const std::uint32_t cp = next_code_point(text, i);
        const Class cls = cp == kInvalid ? kOther : classify(cp);
        switch (cls) {
            case kOther: finish(); break;
            case kMark:
                if (!word.empty()) put_folded(cp, word);
                break;
            case kWord:
                if (single) finish();
                put_folded(cp, word);
                break;
            case kSplit:
                finish();
                put_folded(cp, word);
                single = true;
                break;
        }
    }
    finish();
}

std::vector<std::string> tokenize(std::string_view text, bool stem) {
    std::vector<std::string> out;
    tokenize(text, stem, out);
    return out;
}

const char* tokenizer_unicode_version() { return unicode_tables::kUnicodeVersion; }

}  // namespace qorel
