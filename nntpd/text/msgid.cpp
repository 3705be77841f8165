#include "msgid.h"

#include <array>
#include <cstdint>

namespace nntpd {
namespace {

constexpr std::string_view BACKEND_SUFFIX = "@zandrel.exe>";
// The back end takes no further byte once the Message-ID, from its "<", is
// longer than this: a longer one may stand for a value that was cut.
constexpr std::size_t BACKEND_BODY_LIMIT = 239;

bool isAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

int lowerHex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // the back end writes lowercase only
}

// The part between "<" and the back end's suffix, or nothing.
std::optional<std::string_view> backendBody(std::string_view id) {
  if (id.size() < 1 + BACKEND_SUFFIX.size() || id.front() != '<' ||
      id.substr(id.size() - BACKEND_SUFFIX.size()) != BACKEND_SUFFIX)
    return std::nullopt;
  return id.substr(1, id.size() - 1 - BACKEND_SUFFIX.size());
}

// SHA-256 (FIPS 180-4): the content hash must be the same on every build
// and every run, so no library hash will do.
class Sha256 {
 public:
  void update(std::string_view s) {
    for (char c : s) {
      block_[fill_++] = static_cast<uint8_t>(c);
      if (fill_ == 64) compress();
    }
    length_ += s.size();
  }
  std::array<uint8_t, 32> finish() {
    const uint64_t bits = length_ * 8;
    block_[fill_++] = 0x80;
    if (fill_ > 56) {
      while (fill_ < 64) block_[fill_++] = 0;
      compress();
    }
    while (fill_ < 56) block_[fill_++] = 0;
    for (int i = 7; i >= 0; --i) block_[fill_++] = uint8_t(bits >> (8 * i));
    compress();
    std::array<uint8_t, 32> out;
    for (int i = 0; i < 32; ++i) out[i] = uint8_t(h_[i / 4] >> (24 - 8 * (i % 4)));
    return out;
  }

 private:
  static uint32_t rotr(uint32_t x, int n) { return x >> n | x << (32 - n); }

  void compress() {
    static constexpr uint32_t K[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t(block_[4 * i]) << 24 | uint32_t(block_[4 * i + 1]) << 16 |
             uint32_t(block_[4 * i + 2]) << 8 | uint32_t(block_[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6],
             h = h_[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
      const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += h;
    fill_ = 0;
  }

  uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  uint8_t block_[64] = {};
  std::size_t fill_ = 0;
  uint64_t length_ = 0;
};

}  // namespace

std::optional<std::string> ftnMsgid(std::string_view messageId) {
  const auto body = backendBody(messageId);
  if (!body || body->empty() || 1 + body->size() > BACKEND_BODY_LIMIT) return std::nullopt;
  std::string value;
  for (std::size_t i = 0; i < body->size(); ++i) {
    const char c = (*body)[i];
    if (isAlnum(c)) {
      value += c;
      continue;
    }
    int hi, lo;
    if (c != '$' || i + 2 >= body->size() || (hi = lowerHex((*body)[i + 1])) < 0 ||
        (lo = lowerHex((*body)[i + 2])) < 0)
      return std::nullopt;
    const auto byte = static_cast<unsigned char>(hi << 4 | lo);
    // Letters and digits are never escaped; control bytes would break the
    // REPLY line and the kludge it becomes.
    if (isAlnum(char(byte)) || byte < 0x20 || byte == 0x7F) return std::nullopt;
    value += char(byte);
    i += 2;
  }
  return value;
}

bool isBackendMessageId(std::string_view messageId) {
  const auto body = backendBody(messageId);
  if (!body || body->empty()) return false;
  for (char c : *body)
    if (!isAlnum(c) && c != '$') return false;
  return true;
}

std::string contentMessageId(std::string_view group, std::string_view from,
                             std::string_view subject, std::string_view date,
                             std::string_view lines) {
  Sha256 h;
  // Each field with its length, so that no two field lists hash alike by
  // moving text from one field into the next.
  for (std::string_view f : {group, from, subject, date, lines}) {
    h.update(std::to_string(f.size()));
    h.update(":");
    h.update(f);
  }
  const auto digest = h.finish();
  static constexpr char HEX[] = "0123456789abcdef";
  std::string id = "<";
  for (int i = 0; i < 16; ++i) {
    id += HEX[digest[i] >> 4];
    id += HEX[digest[i] & 15];
  }
  id += "@nomsgid.invalid>";
  return id;
}

}  // namespace nntpd
