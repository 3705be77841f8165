// Reads the expected_*.jsonl files beside the foreign bases: one flat JSON
// object per line whose values are strings, numbers, null or arrays of
// strings. Text values stand for raw bytes read as Latin-1, so every string
// comes back as those bytes (code points above 255 become '?').
#ifndef ZANDREL_JSONL_H
#define ZANDREL_JSONL_H

#include <map>
#include <string>
#include <vector>

namespace zt {

struct JsonValue {
  enum Kind { Null, String, Number, Array } kind = Null;
  std::string str;                // String
  double num = 0;                 // Number
  std::vector<std::string> list;  // Array (of strings)
};

using JsonObject = std::map<std::string, JsonValue>;

// Every object of the file, in order. Fails the running test on a line it
// cannot read.
std::vector<JsonObject> ReadJsonLines(const std::string& path);

}  // namespace zt

#endif
