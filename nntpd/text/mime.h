// Header and body encodings of news articles: RFC 2047 encoded-words both
// ways, header folding, quoted-printable, base64 and format=flowed.
#ifndef NNTPD_TEXT_MIME_H
#define NNTPD_TEXT_MIME_H

#include <string>
#include <string_view>

namespace nntpd {

// How header fields with non-ASCII text go to readers.
enum class HeaderMode {
  Encoded,  // RFC 2047 encoded-words: every line stays 7-bit
  Utf8,     // raw UTF-8 (RFC 6532)
};

// The value of an unstructured field (Subject, X-Comment-To, X-Kludge) for a
// header line that starts with `name` and ": ". Non-ASCII words become
// encoded-words in Encoded mode; the value is folded with "\n " so that no
// line passes 78 octets where spaces allow, and never 998. A word too long
// for any line is carried in encoded-words, which may be split.
std::string encodeUnstructured(std::string_view name, std::string_view utf8,
                               HeaderMode mode);

// A display name as an RFC 5322 phrase: as it is when it is made of atoms,
// else a quoted-string, or encoded-words when it is non-ASCII in Encoded
// mode. Not folded.
std::string encodePhrase(std::string_view utf8, HeaderMode mode);

// `text` as an RFC 5322 quoted-string: in quotes, '"' and '\\' escaped.
std::string quotedString(std::string_view text);

// Folds a header value made of ASCII words (or raw UTF-8) at spaces, for a
// line that starts with `name` and ": ". Lines stay within 78 octets where
// spaces allow.
std::string foldValue(std::string_view name, std::string_view value);

// Removes the folds of a header value: every line end followed by a space or
// tab goes, the space or tab stays.
std::string unfold(std::string_view value);

// Decodes the encoded-words of a header text, unfolded, to UTF-8. Whitespace
// between two adjacent encoded-words goes; words in charsets not known here
// and malformed words stay as they are. Raw 8-bit text is taken as UTF-8 when
// it is valid UTF-8, else as code page 1251.
std::string decodeHeaderText(std::string_view raw);

// Quoted-printable to bytes. Soft line breaks are joined, "=XX" decoded;
// an "=" that starts nothing valid stays. Trailing blanks of a line go.
// Line ends in the result are LF.
std::string decodeQuotedPrintable(std::string_view text);

// Base64 to bytes. Characters outside the alphabet are skipped; decoding ends
// at the first '='.
std::string decodeBase64(std::string_view text);

// format=flowed text (LF line ends) joined into paragraphs: a line that ends
// in a space flows into the next one of the same quote depth; with `delsp`
// that space goes. Space-stuffing is undone; the signature separator "-- "
// never flows.
std::string decodeFlowed(std::string_view text, bool delsp);

}  // namespace nntpd

#endif
