// Logins: passwords checked against crypt(3) hashes, hashes made for the
// configuration, and the addresses that failed too often kept waiting.
#ifndef NNTPD_AUTH_H
#define NNTPD_AUTH_H

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

#include "cidr.h"

namespace nntpd {

// Why `hash` cannot be used as a stored password (empty when it can): not a
// crypt(3) hash, or one of the old methods that are quick to break.
std::string passwordHashProblem(const std::string& hash);

// Whether `password` hashes to `hash`. Slow on purpose (the hash method
// makes it so): not for the thread that serves the connections. A user
// that does not exist is checked against a hash of its own, so that the
// time taken does not tell which names exist.
bool passwordMatches(const std::string& password, const std::string* hash);

// A new hash of `password` (yescrypt, a random salt); empty when libcrypt
// cannot make one.
std::string hashPassword(const std::string& password);

// Failed logins per client address. After `limit` failures, each within
// `block` of the one before, the address may not try again until `block`
// has passed since the last.
class LoginGuard {
 public:
  using Clock = std::chrono::steady_clock;

  void configure(std::size_t limit, std::chrono::seconds block) {
    limit_ = limit;
    block_ = block;
  }
  bool blocked(const IpBytes& address, Clock::time_point now) const;
  // Counts a failure; true when it blocks the address from now on.
  bool failed(const IpBytes& address, Clock::time_point now);
  void succeeded(const IpBytes& address) { failures_.erase(address); }

 private:
  struct Failures {
    std::size_t count = 0;
    Clock::time_point last;
  };
  std::size_t limit_ = 5;
  std::chrono::seconds block_{600};
  std::map<IpBytes, Failures> failures_;
};

}  // namespace nntpd

#endif
