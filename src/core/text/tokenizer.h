// Tokenizer: the words of a text, as the full-text index keys them.
//
// A text is read as UTF-8; a byte that does not begin or continue a valid sequence (overlong
// forms and surrogates included) separates words like a space, and never stops the reading.
// Letters and digits of any script make words (general categories L and N), combining marks
// continue the word before them, and everything else separates words. Scripts written without
// spaces between words (Han, Hiragana, Katakana, Thai, Lao, Khmer, Myanmar, ...) give one word
// per character, with the marks that follow it: a query in such a script then matches the
// texts holding its characters, ranked by how many and how rare, with no dictionary to get
// wrong. Every word is case folded with Unicode's full folding ("Straße" and "STRASSE" are one
// word, as are Greek and Cyrillic capitals and small letters). With `stem`, words that are not
// single characters of those scripts go through Snowball's English stemmer ("running" ->
// "run"). The tables come from the build's Python (scripts/gen_unicode_tables.py).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qorel {

// Words longer than this many bytes are cut to it (at a character boundary): no caller needs
// a longer key, and one huge "word" would otherwise be copied into the index whole.
inline constexpr std::size_t kMaxTokenBytes = 256;

// Appends the words of `text`, in order, repeats included.
void tokenize(std::string_view text, bool stem, std::vector<std::string>& out);
std::vector<std::string> tokenize(std::string_view text, bool stem);

// The Unicode version of the tables compiled in.
const char* tokenizer_unicode_version();

}  // namespace qorel
