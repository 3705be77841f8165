// Character sets of FidoNet messages and of news articles, and the way
// between them and UTF-8.
//
// The back end always shows stored text through its fixed 866 -> 1251 table,
// whatever the message is really written in. Where a message names another
// charset, that table is undone first to get the stored bytes back, and the
// stored bytes are decoded by the named charset.
#ifndef NNTPD_TEXT_CHARSET_H
#define NNTPD_TEXT_CHARSET_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nntpd {

enum class Charset {
  Ascii,
  Utf8,
  Cp866,   // the Russian DOS code page: the default of FidoNet bases
  Cp437,
  Cp850,
  Cp1125,  // the Ukrainian DOS code page
  Cp1251,
  Cp1252,
  Latin1,
  Koi8R,
  Koi8U,
};

// The charset a CHRS kludge value ("CP866 2", "UTF-8 4", "+7_FIDO 2") or a
// MIME charset parameter ("windows-1251", "koi8-r") names, compared without
// regard to case; a level after a space is ignored. Nothing for names not
// known here.
std::optional<Charset> charsetByName(std::string_view name);

// The MIME name of a charset, for logs and Content-Type lines.
std::string_view charsetName(Charset cs);

// `bytes` written in `cs` as UTF-8. Bytes the charset leaves undefined, 8-bit
// bytes in ASCII, and broken sequences in UTF-8 become U+FFFD.
std::string toUtf8(std::string_view bytes, Charset cs);

// Whether `s` is well-formed UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF).
bool isValidUtf8(std::string_view s);

// `utf8` in code page 1251. Characters 1251 lacks become '?', and so does
// every broken UTF-8 sequence.
std::string utf8ToCp1251(std::string_view utf8);

// The longest prefix of `utf8` of at most `max` bytes that ends on a
// character boundary.
std::size_t utf8Prefix(std::string_view utf8, std::size_t max);

// Text as the back end shows it (1251 bytes made from the stored bytes by its
// fixed table) as UTF-8, where the stored bytes are in `stored`. The table
// folds a few stored bytes together ('+' and ' ' stand for several box
// drawing characters); those cannot come back and stay what they show.
std::string backendToUtf8(std::string_view text, Charset stored);

// Whether the stored bytes behind text the back end showed are UTF-8 with at
// least one non-ASCII character. Text in a DOS code page with a few words of
// Cyrillic practically never is.
bool backendTextIsUtf8(std::string_view text);

// The charset a kludge names: `kludge` is one kludge's text as the back end
// shows it in an X-Kludge line ("CHRS: UTF-8 4", "CHARSET: KOI8-R",
// "CODEPAGE: 866"). "IBMPC" means the DOS code page of the writer's country,
// which the sysop knows best: `ibmpc`. Nothing for other kludges and for
// charsets not known.
std::optional<Charset> charsetOfKludge(std::string_view kludge,
                                       Charset ibmpc = Charset::Cp866);

}  // namespace nntpd

#endif
