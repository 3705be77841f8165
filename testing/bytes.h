// Little-endian integers in byte strings, the order every base file stores
// them in: for writing file bytes by hand and checking them.
#ifndef ZANDREL_TESTING_BYTES_H
#define ZANDREL_TESTING_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zt {

// The four bytes of `v`, lowest first.
inline std::string Le32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[std::size_t(i)] = char(v >> (8 * i));
  return s;
}

// The integer at `offset`; throws std::out_of_range past the end.
inline std::uint16_t U16At(const std::string& bytes, std::size_t offset) {
  return std::uint16_t(std::uint8_t(bytes.at(offset)) | std::uint8_t(bytes.at(offset + 1)) << 8);
}
inline std::uint32_t U32At(const std::string& bytes, std::size_t offset) {
  return std::uint32_t(U16At(bytes, offset)) | std::uint32_t(U16At(bytes, offset + 2)) << 16;
}

}  // namespace zt

#endif
