#include "auth.h"

#include <crypt.h>

#include <cstdlib>
#include <memory>

namespace nntpd {
namespace {

// Past this many addresses the ones whose failures are forgotten anyway
// are dropped, so that a crowd of addresses cannot grow the table forever.
constexpr std::size_t TIDY_AT = 4096;

std::string cryptOf(const std::string& password, const char* setting) {
  auto data = std::make_unique<crypt_data>();
  const char* out = ::crypt_r(password.c_str(), setting, data.get());
  // A failed crypt_r gives null or a string starting with '*'.
  if (!out || out[0] == '*') return {};
  return out;
}

// What a user that does not exist is checked against: a hash of a password
// nobody can send, as no command line holds a newline.
const std::string& nobodyHash() {
  static const std::string hash = hashPassword("\n");
  return hash;
}

// Equal strings compared in a time that does not depend on where they differ.
bool sameBytes(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= (unsigned char)(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

std::string passwordHashProblem(const std::string& hash) {
  if (hash.empty() || hash[0] != '$')
    return "expected a crypt(3) hash such as \"$y$...\" (make one with zandrel-nntpd "
           "--hash-password)";
  switch (::crypt_checksalt(hash.c_str())) {
    case CRYPT_SALT_OK: return {};
    case CRYPT_SALT_METHOD_LEGACY:
      return "an old hash method that is quick to break: make a yescrypt or SHA-512 hash with "
             "zandrel-nntpd --hash-password";
    default:
      return "not a hash this system's crypt(3) knows (make one with zandrel-nntpd "
             "--hash-password)";
  }
}

bool passwordMatches(const std::string& password, const std::string* hash) {
  if (!hash) {
    cryptOf(password, nobodyHash().c_str());
    return false;
  }
  const std::string out = cryptOf(password, hash->c_str());
  return !out.empty() && sameBytes(out, *hash);
}

std::string hashPassword(const std::string& password) {
  char* setting = ::crypt_gensalt_ra("$y$", 0, nullptr, 0);
  if (!setting) return {};
  std::string out = cryptOf(password, setting);
  ::free(setting);
  return out;
}

bool LoginGuard::blocked(const IpBytes& address, Clock::time_point now) const {
  auto it = failures_.find(address);
  return it != failures_.end() && it->second.count >= limit_ && now - it->second.last < block_;
}

bool LoginGuard::failed(const IpBytes& address, Clock::time_point now) {
  if (failures_.size() >= TIDY_AT) {
    for (auto it = failures_.begin(); it != failures_.end();)
      it = now - it->second.last >= block_ ? failures_.erase(it) : std::next(it);
  }
  Failures& f = failures_[address];
  if (now - f.last >= block_) f.count = 0;  // the old ones are forgotten
  ++f.count;
  f.last = now;
  return f.count == limit_;
}

}  // namespace nntpd
