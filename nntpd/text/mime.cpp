#include "mime.h"

#include <algorithm>
#include <vector>

#include "charset.h"

namespace nntpd {
namespace {

// Lines should stay within this many octets and must stay within the hard
// limit; encoded-words within theirs.
constexpr std::size_t SOFT_LINE = 78;
constexpr std::size_t HARD_LINE = 998;
constexpr std::size_t ENCODED_WORD = 75;
constexpr std::string_view WORD_START = "=?utf-8?";
constexpr std::size_t OVERHEAD = WORD_START.size() + 4;  // "B?" ... "?="
// A word longer than this could not share a line with the field name (up to
// 76 octets here); it goes into encoded-words, which may be split.
constexpr std::size_t LONGEST_PLAIN_WORD = HARD_LINE - 80;

constexpr char HEX[] = "0123456789ABCDEF";

bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool isBlankChar(char c) { return c == ' ' || c == '\t'; }

// Characters a Q-encoded word may carry as they are, in every place an
// encoded-word may stand (the narrowest set: that of phrases).
bool qSafe(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '!' || c == '*' || c == '+' || c == '-' || c == '/';
}

std::size_t qLength(char c) { return qSafe(c) || c == ' ' ? 1 : 3; }

void appendQ(std::string& out, char c) {
  if (qSafe(c)) {
    out += c;
  } else if (c == ' ') {
    out += '_';
  } else {
    out += '=';
    out += HEX[static_cast<unsigned char>(c) >> 4];
    out += HEX[static_cast<unsigned char>(c) & 15];
  }
}

void appendBase64(std::string& out, std::string_view bytes) {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += ALPHABET[v >> 18];
    out += ALPHABET[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? ALPHABET[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? ALPHABET[v & 63] : '=';
  }
}

// `utf8` as encoded-words of at most 75 octets each (the first one at most
// `first` octets), never splitting a character; B or Q, whichever is shorter.
std::vector<std::string> encodedWords(std::string_view utf8, std::size_t first = ENCODED_WORD) {
  std::size_t q = 0;
  for (char c : utf8) q += qLength(c);
  const bool useB = (utf8.size() + 2) / 3 * 4 < q;

  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const std::size_t room =
        (words.empty() ? std::clamp(first, OVERHEAD + 4, ENCODED_WORD) : ENCODED_WORD) - OVERHEAD;
    // Whole characters while they fit.
    std::size_t end = i, len = 0;
    while (end < utf8.size()) {
      std::size_t next = end + 1;
      while (next < utf8.size() && (static_cast<unsigned char>(utf8[next]) & 0xC0) == 0x80) ++next;
      std::size_t add = 0;
      if (useB) {
        add = (next - i + 2) / 3 * 4 - len;
      } else {
        for (std::size_t k = end; k < next; ++k) add += qLength(utf8[k]);
      }
      if (len + add > room && end > i) break;  // a word takes one character at least
      len += add;
      end = next;
    }
    std::string w(WORD_START);
    w += useB ? "B?" : "Q?";
    if (useB) {
      appendBase64(w, utf8.substr(i, end - i));
    } else {
      for (std::size_t k = i; k < end; ++k) appendQ(w, utf8[k]);
    }
    w += "?=";
    words.push_back(std::move(w));
    i = end;
  }
  return words;
}

std::vector<std::string_view> splitSpaces(std::string_view s) {
  std::vector<std::string_view> words;
  for (std::size_t start = 0;;) {
    const std::size_t sp = s.find(' ', start);
    words.push_back(s.substr(start, sp - start));
    if (sp == std::string_view::npos) return words;
    start = sp + 1;
  }
}

// Joins `tokens` with spaces, folding before a token that would carry the
// line past SOFT_LINE; the line starts with `name` and ": ".
std::string fold(std::string_view name, const std::vector<std::string>& tokens) {
  std::string out;
  std::size_t line = name.size() + 2;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0) {
      // Never before an empty word: the line would be blank.
      if (line + 1 + tokens[i].size() > SOFT_LINE && !tokens[i].empty()) {
        out += '\n';
        line = 0;
      }
      out += ' ';
      ++line;
    }
    out += tokens[i];
    line += tokens[i].size();
  }
  return out;
}

// Whether a word must not go out as it is: it could be taken for an
// encoded-word, or is too long for any line.
bool mustEncode(std::string_view word, HeaderMode mode) {
  return word.size() > LONGEST_PLAIN_WORD || word.find("=?") != std::string_view::npos ||
         (mode == HeaderMode::Encoded && !isAscii(word));
}

bool isAtext(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

// One encoded-word's text decoded, or nothing when it is malformed or its
// charset is unknown: "=?charset?enc?text?=" starting at `s[i]`; `end`
// receives the position after it.
std::optional<std::string> decodeWord(std::string_view s, std::size_t i, std::size_t& end) {
  const std::size_t q1 = s.find('?', i + 2);
  if (q1 == std::string_view::npos || q1 + 2 >= s.size() || s[q1 + 2] != '?') return std::nullopt;
  const std::size_t close = s.find("?=", q1 + 3);
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view charset = s.substr(i + 2, q1 - i - 2);
  charset = charset.substr(0, charset.find('*'));  // RFC 2231 language
  const char enc = s[q1 + 1];
  const std::string_view text = s.substr(q1 + 3, close - q1 - 3);
  if (text.find_first_of(" \t") != std::string_view::npos) return std::nullopt;
  const auto cs = charsetByName(charset);
  if (!cs || charset.find_first_of(" \t") != std::string_view::npos) return std::nullopt;

  std::string bytes;
  if (enc == 'B' || enc == 'b') {
    bytes = decodeBase64(text);
  } else if (enc == 'Q' || enc == 'q') {
    for (std::size_t k = 0; k < text.size(); ++k) {
      int hi, lo;
      if (text[k] == '_') {
        bytes += ' ';
      } else if (text[k] == '=' && k + 2 < text.size() && (hi = hexValue(text[k + 1])) >= 0 &&
                 (lo = hexValue(text[k + 2])) >= 0) {
        bytes += char(hi << 4 | lo);
        k += 2;
      } else {
        bytes += text[k];
      }
    }
  } else {
    return std::nullopt;
  }
  end = close + 2;
  if (*cs == Charset::Ascii) return isValidUtf8(bytes) ? bytes : toUtf8(bytes, Charset::Cp1251);
  return toUtf8(bytes, *cs);
}

}  // namespace

std::string encodeUnstructured(std::string_view name, std::string_view utf8, HeaderMode mode) {
  const auto words = splitSpaces(utf8);
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < words.size()) {
    if (!mustEncode(words[i], mode)) {
      tokens.emplace_back(words[i++]);
      continue;
    }
    // One run of encoded-words from here through the last word that needs
    // them, where the words between are plain but would otherwise stand
    // between encoded-words and lose their spaces. In UTF-8 mode only the
    // word itself is encoded.
    std::size_t last = i;
    if (mode == HeaderMode::Encoded)
      for (std::size_t k = i + 1; k < words.size(); ++k)
        if (mustEncode(words[k], mode)) last = k;
    const std::size_t from = words[i].data() - utf8.data();
    const std::size_t to = words[last].data() + words[last].size() - utf8.data();
    // A run at the start shares the first line with the field name.
    const std::size_t first = tokens.empty() && SOFT_LINE > name.size() + 2 + OVERHEAD
                                  ? SOFT_LINE - name.size() - 2
                                  : ENCODED_WORD;
    for (auto& w : encodedWords(utf8.substr(from, to - from), first))
      tokens.push_back(std::move(w));
    i = last + 1;
  }
  return fold(name, tokens);
}

std::string encodePhrase(std::string_view utf8, HeaderMode mode) {
  if (utf8.empty()) return {};
  const bool ascii = isAscii(utf8);
  if (mode == HeaderMode::Encoded && !ascii) {
    std::string out;
    // Sized so that the first word still fits on a "From: " line.
    for (const auto& w : encodedWords(utf8, SOFT_LINE - 6)) {
      if (!out.empty()) out += ' ';
      out += w;
    }
    return out;
  }
  // Atoms separated by single spaces go as they are (UTF-8 counts as atom
  // text in UTF-8 mode); anything else is quoted.
  bool atoms = utf8.front() != ' ' && utf8.back() != ' ' &&
               utf8.find("  ") == std::string_view::npos &&
               utf8.find("=?") == std::string_view::npos;
  for (char c : utf8)
    atoms = atoms && (isAtext(c) || c == ' ' || static_cast<unsigned char>(c) >= 0x80);
  return atoms ? std::string(utf8) : quotedString(utf8);
}

std::string quotedString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string foldValue(std::string_view name, std::string_view value) {
  std::vector<std::string> tokens;
  for (auto w : splitSpaces(value)) tokens.emplace_back(w);
  return fold(name, tokens);
}

std::string unfold(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') continue;
    if (value[i] == '\n' && i + 1 < value.size() && isBlankChar(value[i + 1])) continue;
    out += value[i];
  }
  return out;
}

std::string decodeHeaderText(std::string_view raw) {
  std::string text = unfold(raw);
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  if (!isValidUtf8(text)) text = toUtf8(text, Charset::Cp1251);

  std::string out;
  std::size_t i = 0;
  std::size_t afterWord = std::string::npos;  // end of the last encoded-word
  while (i < text.size()) {
    std::size_t end;
    if (text.compare(i, 2, "=?") == 0) {
      if (auto decoded = decodeWord(text, i, end)) {
        // Only whitespace since the previous encoded-word: it goes.
        if (afterWord != std::string::npos &&
            text.find_first_not_of(" \t", afterWord) == i)
          out.resize(out.size() - (i - afterWord));
        out += *decoded;
        i = afterWord = end;
        continue;
      }
    }
    if (!isBlankChar(text[i])) afterWord = std::string::npos;
    out += text[i++];
  }
  return out;
}

std::string decodeQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t nl = text.find('\n', start);
    const bool last = nl == std::string_view::npos;
    std::string_view line = text.substr(start, last ? std::string_view::npos : nl - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && isBlankChar(line.back())) line.remove_suffix(1);
    bool soft = false;
    for (std::size_t k = 0; k < line.size(); ++k) {
      int hi, lo;
      if (line[k] != '=') {
        out += line[k];
      } else if (k + 1 == line.size()) {
        soft = true;
      } else if (k + 2 < line.size() && (hi = hexValue(line[k + 1])) >= 0 &&
                 (lo = hexValue(line[k + 2])) >= 0) {
        out += char(hi << 4 | lo);
        k += 2;
      } else {
        out += '=';
      }
    }
    if (last) break;
    if (!soft) out += '\n';
    start = nl + 1;
  }
  return out;
}

std::string decodeBase64(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  unsigned acc = 0;
  int bits = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else if (c == '=') break;
    else continue;
    acc = (acc << 6 | unsigned(v)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += char((acc >> bits) & 0xFF);
    }
  }
  return out;
}

std::string decodeFlowed(std::string_view text, bool delsp) {
  std::string out;
  out.reserve(text.size());
  std::size_t paraDepth = 0;
  bool inPara = false;  // the previous line flowed into this one
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) nl = text.size();
    std::string_view line = text.substr(start, nl - start);
    start = nl + 1;

    std::size_t depth = 0;
    while (depth < line.size() && line[depth] == '>') ++depth;
    line.remove_prefix(depth);
    if (!line.empty() && line.front() == ' ') line.remove_prefix(1);  // space-stuffing
    const bool flowed = !line.empty() && line.back() == ' ' && line != "-- ";

    if (inPara && depth != paraDepth) out += '\n';  // a quote level ends a paragraph
    if (!inPara || depth != paraDepth) {
      out.append(depth, '>');
      if (depth > 0 && !line.empty()) out += ' ';
    }
    if (flowed && delsp) line.remove_suffix(1);
    out += line;
    inPara = flowed;
    paraDepth = depth;
    if (!flowed) out += '\n';
  }
  if (inPara) out += '\n';
  return out;
}

}  // namespace nntpd
