#include "squish_check.h"

#include "base_check.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <sstream>

#include "api_sq.h"
#include "fileio.h"
#include "structrw_sq.h"

namespace zt {

namespace {

struct Frame {
  std::uint32_t offset;
  SQHDR hdr;
};

class Checker {
 public:
  explicit Checker(const std::string& base) : base_(base) {}

  BaseCheck Run() {
    UniqueFd sqd, sqi;
    if (!sqd.open((base_ + ".sqd").c_str(), OF_READ) || !sqi.open((base_ + ".sqi").c_str(), OF_READ)) {
      Problem("cannot open the base files");
      return out_;
    }
    sqd_ = sqd.get();
    sqd_len_ = std::uint64_t(file_length(sqd_));
    if (!read_sqbase(sqd_, &b_)) {
      Problem("base header unreadable");
      return out_;
    }
    CheckHeader();
    auto msgs = WalkChain("message", b_.first_frame, b_.last_frame, FRAME_NORMAL);
    auto free = WalkChain("free", b_.free_first, b_.free_last, FRAME_FREE);
    if (msgs.size() != b_.num_msg)
      Problem("message chain holds ", msgs.size(), " frames, num_msg is ", b_.num_msg);
    CheckLayout(msgs, free);
    CheckIndex(sqi.get(), msgs);
    return out_;
  }

 private:
  template <typename... Args>
  void Problem(const Args&... args) {
    std::ostringstream s;
    (s << ... << args);
    out_.damage.push_back(s.str());
  }
  // What a writer cut off mid-way leaves: never reached by a reader, reused
  // or overwritten by the next write.
  template <typename... Args>
  void Leftover(const Args&... args) {
    std::ostringstream s;
    (s << ... << args);
    out_.leftovers.push_back(s.str());
  }

  void CheckHeader() {
    if (b_.base_size != SQBASE_SIZE) Problem("base_size ", b_.base_size);
    if (b_.frame_hdr_size != SQHDR_SIZE) Problem("frame_hdr_size ", b_.frame_hdr_size);
    if (b_.num_msg != b_.high_msg)
      Problem("num_msg ", b_.num_msg, " differs from high_msg ", b_.high_msg);
    if (b_.end_of_file < SQBASE_SIZE || b_.end_of_file > sqd_len_)
      Problem("end_of_file ", b_.end_of_file, " outside 256..", sqd_len_);
    if ((b_.first_frame == 0) != (b_.last_frame == 0))
      Problem("message chain ends ", b_.first_frame, "/", b_.last_frame);
    if ((b_.free_first == 0) != (b_.free_last == 0))
      Leftover("free chain ends ", b_.free_first, "/", b_.free_last, " (a cut-off write)");
  }

  bool ReadFrame(std::uint32_t at, SQHDR* h) {
    return at >= SQBASE_SIZE && seek_file(sqd_, at, SEEK_FROM_START) == at && read_sqhdr(sqd_, h);
  }

  std::vector<Frame> WalkChain(const char* name, std::uint32_t first, std::uint32_t last,
                               word type) {
    std::vector<Frame> out;
    std::set<std::uint32_t> seen;
    std::uint32_t prev = 0;
    for (std::uint32_t at = first; at != 0;) {
      // A writer links its frame to the last one before the header counts
      // it: cut off there, the chain runs one frame past last_frame (into
      // space the header still calls free, or past end_of_file), and the
      // next write links its own frame in its place.
      if (type == FRAME_NORMAL && prev == last && prev != 0) {
        SQHDR h;
        if (ReadFrame(at, &h) && h.id == SQHDRID && h.prev_frame == prev) {
          Leftover("message frame ", at, " linked after last_frame ", last,
                   " but not counted (a write cut off)");
          past_last_.insert(at);
          break;
        }
      }
      if (!seen.insert(at).second) {
        Problem(name, " chain loops back to ", at);
        break;
      }
      SQHDR h;
      if (!ReadFrame(at, &h)) {
        Problem(name, " frame ", at, " unreadable");
        break;
      }
      if (h.id != SQHDRID) Problem(name, " frame ", at, " has id ", h.id);
      if (h.frame_type != type) Problem(name, " frame ", at, " has type ", h.frame_type);
      if (h.prev_frame != prev) {
        // Taking a frame off the free chain rewrites both neighbours' links
        // and then the header: cut off in between, the free chain disagrees
        // with itself. Free space may go unused; no message is touched (a
        // writer takes only frames typed free, within the file).
        if (type == FRAME_FREE)
          Leftover("free frame ", at, " links back to ", h.prev_frame, ", not ", prev,
                   " (a cut-off write)");
        else
          Problem(name, " frame ", at, " links back to ", h.prev_frame, ", not ", prev);
      }
      if (type == FRAME_NORMAL &&
          (h.msg_size < XMSG_SIZE + h.ctrl_size || h.msg_size > h.frame_size))
        Problem("message frame ", at, " sizes: frame ", h.frame_size, " msg ", h.msg_size, " ctrl ", h.ctrl_size);
      out.push_back({at, h});
      prev = at;
      at = h.next_frame;
    }
    if (prev != last && type == FRAME_FREE)
      Leftover("free chain ends at ", prev, ", header says ", last, " (a cut-off write)");
    else if (prev != last)
      Problem(name, " chain ends at ", prev, ", header says ", last);
    return out;
  }

  // Frames never move and never overlap: together they tile the file from
  // the base header to end_of_file (merged free frames lie inside others).
  void CheckLayout(const std::vector<Frame>& msgs, const std::vector<Frame>& free) {
    std::map<std::uint32_t, std::uint64_t> ends;
    for (const auto* chain : {&msgs, &free}) {
      for (const Frame& f : *chain) {
        if (!ends.emplace(f.offset, std::uint64_t(f.offset) + SQHDR_SIZE + f.hdr.frame_size).second)
          Problem("frame ", f.offset, " is in both chains");
      }
    }
    std::uint64_t at = SQBASE_SIZE;
    for (const auto& [start, end] : ends) {
      if (start < at) Problem("frame ", start, " overlaps the frame before, which ends at ", at);
      if (start > at)
        Leftover("bytes ", at, "..", start, " belong to no chain (a frame a cut-off write took)");
      at = std::max<std::uint64_t>(at, end);
    }
    if (!ends.empty() && at > b_.end_of_file)
      Problem("frames end at ", at, ", end_of_file is ", b_.end_of_file);
    if (!ends.empty() && at < b_.end_of_file)
      Leftover("bytes ", at, "..", b_.end_of_file, " belong to no chain (a frame a cut-off write took)");
    if (ends.empty() && b_.end_of_file != SQBASE_SIZE)
      Problem("no frames, end_of_file ", b_.end_of_file);
  }

  void CheckIndex(int sqi, const std::vector<Frame>& msgs) {
    std::uint64_t records = std::uint64_t(file_length(sqi)) / SQIDX_SIZE;
    if (records < b_.num_msg) {
      Problem("index holds ", records, " records, num_msg is ", b_.num_msg);
      return;
    }
    std::vector<SQIDX> idx(records);
    if (records && (seek_file(sqi, 0, SEEK_FROM_START) != 0 ||
                    !read_sqidx(sqi, idx.data(), std::uint32_t(records)))) {
      Problem("index unreadable");
      return;
    }
    UMSGID last_uid = 0;
    for (std::uint64_t i = 0; i < records; ++i) {
      const SQIDX& r = idx[i];
      if (i >= b_.num_msg) {
        if (!(r.frame_offset || r.umsgid || r.hash)) continue;
        // The record goes out before the header that counts it.
        const bool counted = std::any_of(msgs.begin(), msgs.end(),
                                         [&](const Frame& f) { return f.offset == r.frame_offset; });
        if (i == b_.num_msg && r.umsgid >= b_.next_uid && !counted)
          Leftover("index record ", i, " past num_msg holds the record of a cut-off write");
        else
          Problem("index record ", i, " past num_msg is not zero");
        continue;
      }
      if (i < msgs.size() && r.frame_offset != msgs[i].offset)
        Problem("index record ", i, " points at ", r.frame_offset, ", chain has ", msgs[i].offset);
      if (r.umsgid <= last_uid) Problem("index record ", i, " UMSGID ", r.umsgid, " not above ", last_uid);
      if (r.umsgid >= b_.next_uid) Problem("index record ", i, " UMSGID ", r.umsgid, " not below next_uid");
      last_uid = r.umsgid;
      XMSG x;
      if (seek_file(sqd_, std::int64_t(r.frame_offset) + SQHDR_SIZE, SEEK_FROM_START) < 0 ||
          !read_xmsg(sqd_, &x)) {
        Problem("message ", i + 1, " header unreadable");
        continue;
      }
      byte to[37] = {};
      std::copy(std::begin(x.to), std::end(x.to), to);
      dword hash = SquishHash(to) | ((x.attr & MSGREAD) ? 0x80000000u : 0);
      if (r.hash != hash) Problem("index record ", i, " hash ", r.hash, " not ", hash);
    }
  }

  std::string base_;
  int sqd_ = -1;
  std::uint64_t sqd_len_ = 0;
  SQBASE b_{};
  std::set<std::uint32_t> past_last_;  // frames a cut-off write linked in
  BaseCheck out_;
};

}  // namespace

BaseCheck CheckSquishBaseDetailed(const std::string& base) { return Checker(base).Run(); }

std::vector<std::string> CheckSquishBase(const std::string& base) {
  BaseCheck c = Checker(base).Run();
  c.damage.insert(c.damage.end(), c.leftovers.begin(), c.leftovers.end());
  return c.damage;
}

std::string JoinProblems(const std::vector<std::string>& problems) {
  std::string out;
  for (const auto& p : problems) out += p + "\n";
  return out;
}

}  // namespace zt
