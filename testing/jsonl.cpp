#include "jsonl.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace zt {
namespace {

class Reader {
 public:
  explicit Reader(const std::string& s) : s_(s) {}

  JsonObject Object() {
    JsonObject obj;
    Expect('{');
    if (Peek() == '}') return ++i_, obj;
    for (;;) {
      std::string key = String();
      Expect(':');
      obj[key] = Value();
      char c = Next();
      if (c == '}') return obj;
      if (c != ',') throw std::runtime_error("expected , or }");
    }
  }

 private:
  JsonValue Value() {
    JsonValue v;
    char c = Peek();
    if (c == '"') {
      v.kind = JsonValue::String;
      v.str = String();
    } else if (c == '[') {
      v.kind = JsonValue::Array;
      ++i_;
      if (Peek() == ']') return ++i_, v;
      for (;;) {
        v.list.push_back(String());
        char d = Next();
        if (d == ']') break;
        if (d != ',') throw std::runtime_error("expected , or ]");
      }
    } else if (s_.compare(i_, 4, "null") == 0) {
      i_ += 4;
    } else {
      v.kind = JsonValue::Number;
      char* end = nullptr;
      v.num = std::strtod(s_.c_str() + i_, &end);
      if (end == s_.c_str() + i_) throw std::runtime_error("bad value");
      i_ = std::size_t(end - s_.c_str());
    }
    return v;
  }

  std::string String() {
    Expect('"');
    std::string out;
    while (i_ < s_.size() && s_[i_] != '"') {
      unsigned cp = Utf8();
      if (cp == '\\') cp = Escape();
      out += cp < 256 ? char(cp) : '?';
    }
    if (i_++ >= s_.size()) throw std::runtime_error("unterminated string");
    return out;
  }

  unsigned Escape() {
    if (i_ >= s_.size()) throw std::runtime_error("bad escape");
    switch (char c = s_[i_++]) {
      case 'b': return '\b';
      case 'f': return '\f';
      case 'n': return '\n';
      case 'r': return '\r';
      case 't': return '\t';
      case 'u': {
        if (i_ + 4 > s_.size()) throw std::runtime_error("bad \\u");
        unsigned v = unsigned(std::stoul(s_.substr(i_, 4), nullptr, 16));
        i_ += 4;
        return v;
      }
      default: return unsigned(static_cast<unsigned char>(c));
    }
  }

  unsigned Utf8() {
    unsigned c = static_cast<unsigned char>(s_[i_++]);
    int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (more) c &= 0x3Fu >> more;
    for (; more > 0 && i_ < s_.size(); --more)
      c = c << 6 | (static_cast<unsigned char>(s_[i_++]) & 0x3F);
    return c;
  }

  void Skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
  }
  char Peek() {
    Skip();
    if (i_ >= s_.size()) throw std::runtime_error("unexpected end");
    return s_[i_];
  }
  char Next() {
    char c = Peek();
    ++i_;
    return c;
  }
  void Expect(char c) {
    if (Next() != c) throw std::runtime_error(std::string("expected ") + c);
  }

  const std::string& s_;
  std::size_t i_ = 0;
};

}  // namespace

std::vector<JsonObject> ReadJsonLines(const std::string& path) {
  std::vector<JsonObject> out;
  std::ifstream f(path, std::ios::binary);
  EXPECT_TRUE(f.good()) << path;
  std::string line;
  for (int n = 1; std::getline(f, line); ++n) {
    if (line.empty()) continue;
    try {
      out.push_back(Reader(line).Object());
    } catch (const std::exception& e) {
      ADD_FAILURE() << path << ":" << n << ": " << e.what();
    }
  }
  return out;
}

}  // namespace zt
