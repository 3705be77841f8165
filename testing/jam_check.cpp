#include "jam_check.h"

#include "base_check.h"
#include "bytes.h"

#include <fstream>
#include <sstream>

namespace zt {

namespace {

std::string Slurp(const std::string& path, bool* ok) {
  std::ifstream f(path, std::ios::binary);
  *ok = bool(f);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

struct Files {
  std::string jhr, jdt, jdx;
  bool ok = true;
};

Files Load(const std::string& base) {
  Files f;
  bool a, b, c;
  f.jhr = Slurp(base + ".jhr", &a);
  f.jdt = Slurp(base + ".jdt", &b);
  f.jdx = Slurp(base + ".jdx", &c);
  f.ok = a && b && c;
  return f;
}

bool HeaderReadable(const Files& f, std::uint64_t ofs) { return ofs + 76 <= f.jhr.size(); }

}  // namespace

std::vector<JamLive> JamLiveMessages(const std::string& base) {
  Files f = Load(base);
  std::vector<JamLive> out;
  for (std::uint64_t k = 0; k + 8 <= f.jdx.size(); k += 8) {
    const std::uint32_t ofs = U32At(f.jdx, k + 4);
    if (ofs == 0xFFFFFFFFu || !HeaderReadable(f, ofs)) continue;
    if (U32At(f.jhr, std::uint64_t(ofs) + 52) & 0x80000000u) continue;
    out.push_back({std::uint32_t(k), ofs});
  }
  return out;
}

BaseCheck CheckJamBaseDetailed(const std::string& base) {
  BaseCheck out;
  auto report = [&](const std::string& what) { out.damage.push_back(what); };
  Files f = Load(base);
  if (!f.ok) {
    report("a file of the base is missing");
    return out;
  }
  if (f.jhr.size() < 1024) {
    report("header file shorter than its header info");
    return out;
  }
  if (f.jhr.compare(0, 4, std::string("JAM\0", 4)) != 0) report("header info signature is not JAM");
  if (f.jdx.size() % 8) report("index length " + std::to_string(f.jdx.size()) + " is not a multiple of 8");

  std::uint32_t live = 0;
  for (std::uint64_t k = 0; k + 8 <= f.jdx.size(); k += 8) {
    const std::string rec = "index record " + std::to_string(k / 8) + ": ";
    const std::uint32_t crc = U32At(f.jdx, k), ofs = U32At(f.jdx, k + 4);
    if (ofs == 0xFFFFFFFFu) {
      if (crc != 0xFFFFFFFFu) report(rec + "killed record with a UserCRC");
      continue;
    }
    if (ofs < 1024 || !HeaderReadable(f, ofs)) {
      report(rec + "header offset " + std::to_string(ofs) + " outside the header file");
      continue;
    }
    if (f.jhr.compare(ofs, 4, std::string("JAM\0", 4)) != 0) {
      report(rec + "no JAM header at " + std::to_string(ofs));
      continue;
    }
    const std::uint32_t attr = U32At(f.jhr, std::uint64_t(ofs) + 52);
    if (attr & 0x80000000u) continue;  // a deleted header behind a live record
    ++live;
    const std::uint64_t sublen = U32At(f.jhr, std::uint64_t(ofs) + 8);
    const std::uint64_t txtofs = U32At(f.jhr, std::uint64_t(ofs) + 60);
    const std::uint64_t txtlen = U32At(f.jhr, std::uint64_t(ofs) + 64);
    const std::uint64_t chain = std::uint64_t(ofs) + 76;
    if (chain + sublen > f.jhr.size()) {
      report(rec + "subfield chain runs past the header file");
    } else {
      std::uint64_t p = 0;
      while (p + 8 <= sublen) {
        const std::uint64_t len = U32At(f.jhr, chain + p + 4);
        p += 8 + len;
      }
      if (p != sublen)
        report(rec + "subfield chain decodes to " + std::to_string(p) + " bytes, SubfieldLen " +
               std::to_string(sublen));
    }
    if (txtofs + txtlen > f.jdt.size()) report(rec + "text runs past the text file");
  }
  // A writer stores text, header and index record before the header info
  // that counts them: cut off in between, the count is stale until the
  // next change recounts.
  const std::uint32_t active = U32At(f.jhr, 12);
  if (active != live)
    out.leftovers.push_back("ActiveMsgs " + std::to_string(active) + " but " +
                            std::to_string(live) + " live messages");
  return out;
}

std::vector<std::string> CheckJamBase(const std::string& base, const JamCheckOptions& opt) {
  BaseCheck c = CheckJamBaseDetailed(base);
  if (opt.check_active_count) c.damage.insert(c.damage.end(), c.leftovers.begin(), c.leftovers.end());
  return c.damage;
}

}  // namespace zt
