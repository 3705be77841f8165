#include "structrw_jam.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <ctime>
#include <memory>

#include "fidotext.h"
#include "keptview.h"
#include "platform.h"
#include "structrw.h"

dword chain_size(const JamChain& chain) {
  dword n = 0;
  for (const JamSubfield& sf : chain) n += SUBF_HEAD_SIZE + dword(sf.data.size());
  return n;
}

// ---------------------------------------------------------------------------
// Records

void decode_hdrinfo(const uint8_t* buf, JamHdrInfo* out) {
  const uint8_t* pbuf = buf;
  JamHdrInfo h;
  get_bytes(pbuf, h.Signature, 4);
  h.DateCreated = get_u32(pbuf);
  h.ModCounter = get_u32(pbuf);
  h.ActiveMsgs = get_u32(pbuf);
  h.PasswordCRC = get_u32(pbuf);
  h.BaseMsgNum = get_u32(pbuf);
  h.HighWater = get_u32(pbuf);
  get_bytes(pbuf, h.reserved, HDRINFO_RESERVED_SIZE);
  assert(pbuf - buf == HDRINFO_SIZE);
  *out = h;
}

void encode_hdrinfo(const JamHdrInfo& h, uint8_t* buf) {
  uint8_t* pbuf = buf;
  put_bytes(pbuf, h.Signature, 4);
  put_u32(pbuf, h.DateCreated);
  put_u32(pbuf, h.ModCounter);
  put_u32(pbuf, h.ActiveMsgs);
  put_u32(pbuf, h.PasswordCRC);
  put_u32(pbuf, h.BaseMsgNum);
  put_u32(pbuf, h.HighWater);
  put_bytes(pbuf, h.reserved, HDRINFO_RESERVED_SIZE);
  assert(pbuf - buf == HDRINFO_SIZE);
}

void decode_hdr(const uint8_t* buf, JamHdr* out) {
  const uint8_t* pbuf = buf;
  JamHdr h;
  get_bytes(pbuf, h.Signature, 4);
  h.Revision = get_u16(pbuf);
  h.ReservedWord = get_u16(pbuf);
  h.SubfieldLen = get_u32(pbuf);
  h.TimesRead = get_u32(pbuf);
  h.MsgIdCRC = get_u32(pbuf);
  h.ReplyCRC = get_u32(pbuf);
  h.ReplyTo = get_u32(pbuf);
  h.Reply1st = get_u32(pbuf);
  h.ReplyNext = get_u32(pbuf);
  h.DateWritten = get_u32(pbuf);
  h.DateReceived = get_u32(pbuf);
  h.DateProcessed = get_u32(pbuf);
  h.MsgNum = get_u32(pbuf);
  h.Attribute = get_u32(pbuf);
  h.Attribute2 = get_u32(pbuf);
  h.TxtOffset = get_u32(pbuf);
  h.TxtLen = get_u32(pbuf);
  h.PasswordCRC = get_u32(pbuf);
  h.Cost = get_u32(pbuf);
  assert(pbuf - buf == HDR_SIZE);
  *out = h;
}

void encode_hdr(const JamHdr& h, uint8_t* buf) {
  uint8_t* pbuf = buf;
  put_bytes(pbuf, h.Signature, 4);
  put_u16(pbuf, h.Revision);
  put_u16(pbuf, h.ReservedWord);
  put_u32(pbuf, h.SubfieldLen);
  put_u32(pbuf, h.TimesRead);
  put_u32(pbuf, h.MsgIdCRC);
  put_u32(pbuf, h.ReplyCRC);
  put_u32(pbuf, h.ReplyTo);
  put_u32(pbuf, h.Reply1st);
  put_u32(pbuf, h.ReplyNext);
  put_u32(pbuf, h.DateWritten);
  put_u32(pbuf, h.DateReceived);
  put_u32(pbuf, h.DateProcessed);
  put_u32(pbuf, h.MsgNum);
  put_u32(pbuf, h.Attribute);
  put_u32(pbuf, h.Attribute2);
  put_u32(pbuf, h.TxtOffset);
  put_u32(pbuf, h.TxtLen);
  put_u32(pbuf, h.PasswordCRC);
  put_u32(pbuf, h.Cost);
  assert(pbuf - buf == HDR_SIZE);
}

void decode_idx(const uint8_t* buf, JamIdx* out) {
  const uint8_t* pbuf = buf;
  JamIdx x;
  x.UserCRC = get_u32(pbuf);
  x.HdrOffset = get_u32(pbuf);
  assert(pbuf - buf == IDX_SIZE);
  *out = x;
}

void encode_idx(const JamIdx& x, uint8_t* buf) {
  uint8_t* pbuf = buf;
  put_u32(pbuf, x.UserCRC);
  put_u32(pbuf, x.HdrOffset);
  assert(pbuf - buf == IDX_SIZE);
}

// ---------------------------------------------------------------------------
// Subfield chains

dword decode_subfields(const uint8_t* buf, dword n, JamChain* out, std::vector<std::string>* spare) {
  // The records already in `out` are overwritten in place, so that a chain
  // decoded into the one of the message before keeps the room of its data;
  // records beyond that take the room that `spare` holds, and a shorter
  // chain leaves the room of its last records there.
  std::size_t count = 0;
  auto next = [out, spare, &count]() -> JamSubfield& {
    if (count == out->size()) {
      out->emplace_back();
      if (spare && !spare->empty()) {
        out->back().data = std::move(spare->back());
        spare->pop_back();
      }
    }
    return (*out)[count++];
  };
  std::uint64_t p = 0;
  if (n > SUBF_HEAD_SIZE) {
    out->reserve(16);  // a message carries a handful of subfields
    do {
      const uint8_t* q = buf + p;
      JamSubfield& sf = next();
      sf.id = get_u16(q);
      sf.reserved = get_u16(q);
      const std::int32_t len = get_s32(q);
      // The length comes from disk: a negative or overlong one ends the
      // chain, keeping the record's id with no data.
      if (len < 0 || p + SUBF_HEAD_SIZE + std::uint64_t(len) > n || std::uint64_t(len) >= n) {
        sf.data.clear();
        p += SUBF_HEAD_SIZE;
        break;
      }
      sf.data.assign(reinterpret_cast<const char*>(q), std::size_t(len));
      p += SUBF_HEAD_SIZE + std::uint64_t(len);
    } while (p + SUBF_HEAD_SIZE < n);
  }
  if (spare)
    for (std::size_t i = count; i < out->size(); ++i) spare->push_back(std::move((*out)[i].data));
  out->resize(count);
  return dword(p);
}

std::string encode_subfields(const JamChain& chain, dword length) {
  std::string out;
  out.reserve(length);
  for (const JamSubfield& sf : chain) {
    if (out.size() >= length) break;
    uint8_t head[SUBF_HEAD_SIZE];
    uint8_t* p = head;
    put_u16(p, sf.id);
    put_u16(p, sf.reserved);
    put_u32(p, dword(sf.data.size()));
    out.append(reinterpret_cast<const char*>(head), SUBF_HEAD_SIZE);
    out += sf.data;
  }
  out.resize(length);  // SubfieldLen bytes exactly, whatever the chain holds
  return out;
}

int read_subfield(int fd, JamChain* chain, dword* length) {
  std::vector<uint8_t> buf(*length);
  std::int64_t got = read_upto(fd, buf.data(), buf.size());
  const dword n = got > 0 ? dword(got) : 0;
  *length = decode_subfields(buf.data(), n, chain);
  return n == buf.size() ? 1 : 0;
}

int write_subfield(int fd, const JamChain& chain, dword length) {
  if (length == 0) return 1;
  std::string bytes = encode_subfields(chain, length);
  return write_all(fd, bytes.data(), bytes.size()) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Whole records through a descriptor

namespace {

template <dword N, typename T>
int read_record(int fd, T* out, void (*decode)(const uint8_t*, T*)) {
  uint8_t buf[N];
  if (!read_exact(fd, buf, N)) return 0;
  decode(buf, out);
  return 1;
}

template <dword N, typename T>
int write_record(int fd, const T& in, void (*encode)(const T&, uint8_t*)) {
  uint8_t buf[N];
  encode(in, buf);
  return write_all(fd, buf, N) ? 1 : 0;
}

}  // namespace

int read_hdrinfo(int fd, JamHdrInfo* out) { return read_record<HDRINFO_SIZE>(fd, out, decode_hdrinfo); }
int write_hdrinfo(int fd, const JamHdrInfo& in) { return write_record<HDRINFO_SIZE>(fd, in, encode_hdrinfo); }
int read_hdr(int fd, JamHdr* out) { return read_record<HDR_SIZE>(fd, out, decode_hdr); }
int write_hdr(int fd, const JamHdr& in) { return write_record<HDR_SIZE>(fd, in, encode_hdr); }
int read_idx(int fd, JamIdx* out) { return read_record<IDX_SIZE>(fd, out, decode_idx); }
int write_idx(int fd, const JamIdx& in) { return write_record<IDX_SIZE>(fd, in, encode_idx); }

// ---------------------------------------------------------------------------
// The active-message table

namespace {

constexpr dword ATTR_OFFSET = 52;  // of Attribute inside a header

// Reads the whole index and collects the records whose header lies inside
// ".jhr" (hdr_ofs set) in index order; *in_header_order tells whether that
// is the order of their headers too. False when the index cannot be read.
bool collect_candidates(int jdx_fd, int jhr_fd, JamScan* scan, bool* in_header_order) {
  std::int64_t jdx_len = file_length(jdx_fd);
  std::int64_t jhr_len = file_length(jhr_fd);
  if (jdx_len < 0 || jhr_len < 0) return false;
  // A torn last record (a length that is not a multiple of 8) is not a record.
  const std::size_t nrec = std::size_t(jdx_len / IDX_SIZE);
  // Not zeroed first: the read fills every byte or the scan is refused.
  const std::size_t size = nrec * IDX_SIZE;
  auto buf = std::make_unique_for_overwrite<uint8_t[]>(size);
  if (size && read_at(jdx_fd, buf.get(), size, 0) != std::int64_t(size)) return false;
  scan->jdx_len = jdx_len;
  scan->jhr_len = jhr_len;
  scan->unreadable_end = UINT64_MAX;
  scan->table.clear();
  scan->table.reserve(nrec);
  dword last = 0;
  *in_header_order = true;
  for (std::size_t k = 0; k < nrec; ++k) {
    const uint8_t* p = buf.get() + k * IDX_SIZE + 4;
    const dword ofs = get_u32(p);
    if (ofs == JAM_NO_OFFSET) continue;
    const std::uint64_t end = std::uint64_t(ofs) + HDR_SIZE;
    if (end > std::uint64_t(jhr_len)) {
      scan->unreadable_end = std::min(scan->unreadable_end, end);
      continue;
    }
    scan->table.push_back({dword(k * IDX_SIZE), ofs});
    if (ofs < last) *in_header_order = false;
    last = ofs;
  }
  return true;
}

// Candidate positions in order of header offset, or none when the table is
// in that order already (`sorted`), as it is in nearly every base: the
// scans then walk the table itself.
std::vector<std::size_t> header_order(const std::vector<JamActive>& t, bool sorted) {
  if (sorted) return {};
  std::vector<std::size_t> order(t.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return t[a].hdr_ofs < t[b].hdr_ofs; });
  return order;
}

// The k-th entry in header order.
JamActive& in_order(std::vector<JamActive>& t, const std::vector<std::size_t>& order,
                    std::size_t k) {
  return t[order.empty() ? k : order[k]];
}

// Removes the entries marked with hdr_ofs JAM_NO_OFFSET, keeping the order.
void drop_marked(std::vector<JamActive>* t) {
  t->erase(std::remove_if(t->begin(), t->end(),
                          [](const JamActive& e) { return e.hdr_ofs == JAM_NO_OFFSET; }),
           t->end());
}

// The checks of one mapped window; plain data only (see run_mapped).
struct WindowScan {
  const FileMap* map;
  JamActive* table;
  const std::size_t* order;  // null: table order is header order
  std::size_t begin, end;    // range of header order inside the window
};

void scan_window(void* ctx) {
  WindowScan* w = static_cast<WindowScan*>(ctx);
  for (std::size_t i = w->begin; i < w->end; ++i) {
    JamActive& e = w->table[w->order ? w->order[i] : i];
    const uint8_t* p = w->map->at(std::int64_t(e.hdr_ofs) + ATTR_OFFSET);
    if (get_u32(p) & JAM_DELETED) e.hdr_ofs = JAM_NO_OFFSET;
  }
}

// Marks the deleted headers by mapping ".jhr", its first part through its
// kept mapping (keptview.h) and the rest a window at a time: far cheaper
// than reading it. False when a mapping fails or the file shrank under it.
bool mark_deleted_mapped(int jhr_fd, const char* jhr_path, std::uint64_t jhr_len,
                         std::vector<JamActive>* t, bool sorted) {
  const std::vector<std::size_t> order = header_order(*t, sorted);
  std::size_t i = 0;
  const KeptMapping kept = kept_mapping(jhr_fd, jhr_path, jhr_len);
  if (kept.map && !kept.map->damaged()) {
    // The headers inside the kept part come first in header order: the
    // first one past it is found by halving.
    for (std::size_t hi = t->size(); i < hi;) {
      const std::size_t mid = i + (hi - i) / 2;
      if (std::uint64_t(in_order(*t, order, mid).hdr_ofs) + HDR_SIZE <= kept.len)
        i = mid + 1;
      else
        hi = mid;
    }
    WindowScan w{kept.map, t->data(), order.empty() ? nullptr : order.data(), 0, i};
    if (!run_mapped(scan_window, &w) || kept.map->damaged()) return false;
  }
  constexpr std::uint64_t WINDOW = 8u << 20;
  while (i < t->size()) {
    const std::uint64_t start = in_order(*t, order, i).hdr_ofs;
    std::uint64_t stop = start + HDR_SIZE;
    std::size_t j = i + 1;
    while (j < t->size() && std::uint64_t(in_order(*t, order, j).hdr_ofs) + HDR_SIZE <= start + WINDOW) {
      stop = std::uint64_t(in_order(*t, order, j).hdr_ofs) + HDR_SIZE;
      ++j;
    }
    FileMap map;
    if (!map.map(jhr_fd, std::int64_t(start), std::size_t(stop - start))) return false;
    WindowScan w{&map, t->data(), order.empty() ? nullptr : order.data(), i, j};
    if (!run_mapped(scan_window, &w)) return false;
    i = j;
  }
  return true;
}

// The same through plain reads of up to 1 MB; a header that does not arrive
// whole is not live.
bool mark_deleted_read(int jhr_fd, std::vector<JamActive>* t, bool sorted) {
  constexpr std::uint64_t CHUNK = 1u << 20;
  const std::vector<std::size_t> order = header_order(*t, sorted);
  std::vector<uint8_t> buf;
  std::size_t i = 0;
  while (i < t->size()) {
    const std::uint64_t start = in_order(*t, order, i).hdr_ofs;
    std::uint64_t stop = start + HDR_SIZE;
    std::size_t j = i + 1;
    while (j < t->size() && std::uint64_t(in_order(*t, order, j).hdr_ofs) + HDR_SIZE <= start + CHUNK) {
      stop = std::uint64_t(in_order(*t, order, j).hdr_ofs) + HDR_SIZE;
      ++j;
    }
    buf.resize(std::size_t(stop - start));
    std::int64_t got = read_at(jhr_fd, buf.data(), buf.size(), std::int64_t(start));
    const std::uint64_t have = got > 0 ? std::uint64_t(got) : 0;
    for (std::size_t k = i; k < j; ++k) {
      JamActive& e = in_order(*t, order, k);
      const std::uint64_t rel = e.hdr_ofs - start;
      if (rel + HDR_SIZE > have) {
        e.hdr_ofs = JAM_NO_OFFSET;
        continue;
      }
      const uint8_t* p = buf.data() + rel + ATTR_OFFSET;
      if (get_u32(p) & JAM_DELETED) e.hdr_ofs = JAM_NO_OFFSET;
    }
    i = j;
  }
  return true;
}

}  // namespace

int read_allidx_plain(int jdx_fd, int jhr_fd, JamScan* out) {
  JamScan scan;
  bool sorted;
  if (!collect_candidates(jdx_fd, jhr_fd, &scan, &sorted)) return 0;
  mark_deleted_read(jhr_fd, &scan.table, sorted);
  drop_marked(&scan.table);
  *out = std::move(scan);
  return 1;
}

int read_allidx(int jdx_fd, int jhr_fd, JamScan* out, const char* jhr_path) {
  JamScan scan;
  bool sorted;
  if (!collect_candidates(jdx_fd, jhr_fd, &scan, &sorted)) return 0;
  // A mapping that failed half-way has marked some entries already; the
  // plain scan starts again from the index.
  if (!mark_deleted_mapped(jhr_fd, jhr_path, std::uint64_t(scan.jhr_len), &scan.table, sorted))
    return read_allidx_plain(jdx_fd, jhr_fd, out);
  drop_marked(&scan.table);
  *out = std::move(scan);
  return 1;
}


// ---------------------------------------------------------------------------
// CRC, attributes, signature

namespace {

constexpr std::array<dword, 256> make_crc_table() {
  std::array<dword, 256> t{};
  for (dword i = 0; i < 256; ++i) {
    dword c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}

// The reflected CRC-32 table of polynomial 0xEDB88320.
constexpr std::array<dword, 256> crc32tab = make_crc_table();
static_assert(crc32tab[1] == 0x77073096u && crc32tab[255] == 0x2D02EF8Du);

struct AttrPair {
  dword msg;
  dword jam;
};

constexpr AttrPair attr_map[] = {
    {MSGPRIVATE, 0x00000004u},      // private
    {MSGCRASH, 0x00000100u},        // crash
    {MSGREAD, 0x00000008u},         // read
    {MSGSENT, 0x00000010u},         // sent
    {MSGFILE, 0x00002000u},         // file attach
    {MSGFWD, 0x00000002u},          // in transit
    {MSGORPHAN, 0x00040000u},       // orphan
    {MSGKILL, 0x00000020u},         // kill when sent
    {MSGLOCAL, 0x00000001u},        // local
    {MSGHOLD, 0x00000080u},         // hold
    {MSGXX2, 0x00000400u},          // direct
    {MSGFRQ, 0x00001000u},          // file request
    {MSGRRQ, 0x00010000u},          // receipt request
    {MSGCPT, 0x00020000u},          // confirm request
    {ATTR_IMMEDIATE, 0x00000200u},  // immediate
    {ATTR_LOCKED, 0x40000000u},     // locked
};

}  // namespace

dword Jam_Crc32(const void* bytes, std::size_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  dword crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < count; ++i) {
    // Only A-Z are folded; bytes from 0x80 pass unchanged in any locale.
    uint8_t c = p[i];
    if (c >= 'A' && c <= 'Z') c = uint8_t(c - 'A' + 'a');
    crc = (crc >> 8) ^ crc32tab[(crc ^ c) & 0xFF];
  }
  return crc;
}

dword Jam_MsgAttrToJam(const XMSG* msg) {
  dword out = 0;
  for (const AttrPair& a : attr_map)
    if (msg->attr & a.msg) out |= a.jam;
  return out;
}

dword Jam_JamAttrToMsg(dword jam_attr) {
  dword out = 0;
  for (const AttrPair& a : attr_map)
    if (jam_attr & a.jam) out |= a.msg;
  return out;
}

bool jam_signature_ok(const byte sig[4]) {
  auto lower = [](byte c) { return c >= 'A' && c <= 'Z' ? byte(c - 'A' + 'a') : c; };
  return lower(sig[0]) == 'j' && lower(sig[1]) == 'a' && lower(sig[2]) == 'm' && sig[3] == 0;
}

// ---------------------------------------------------------------------------
// Local seconds

namespace {

// Days from 1970-01-01 to the given proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + std::int64_t(doe) - 719468;
}

// A broken-down time read as UTC, normalised the way mktime normalises
// (month 0 is December of the year before, day 0 the last of the month
// before, and so on).
std::int64_t civil_seconds(const struct tm& t) {
  std::int64_t mon = t.tm_mon;
  const std::int64_t carry = mon >= 0 ? mon / 12 : -((11 - mon) / 12);  // floor(mon / 12)
  const std::int64_t year = 1900 + std::int64_t(t.tm_year) + carry;
  mon -= 12 * carry;
  const std::int64_t days = days_from_civil(year, unsigned(mon + 1), 1) + t.tm_mday - 1;
  return days * 86400 + std::int64_t(t.tm_hour) * 3600 + std::int64_t(t.tm_min) * 60 + t.tm_sec;
}

}  // namespace

dword jam_local_seconds(const SCOMBO& stamp) {
  // Counting the wall-clock fields directly gives what local mktime plus the
  // current UTC offset gives, without the hour lost for dates whose zone
  // offset differs from today's.
  struct tm t = {};
  DosDate_to_TmDate(&stamp, &t);
  if (StampIsEmpty(stamp)) return 0;
  return dword(civil_seconds(t));
}

dword jam_local_now() {
  std::time_t now = std::time(nullptr);
  struct tm lt = *std::localtime(&now);
  return dword(civil_seconds(lt));
}

SCOMBO jam_stamp_from_seconds(dword secs) {
  // The calendar fields of `secs` read as UTC, as gmtime gives them, counted
  // directly: readers convert two dates per message, and gmtime takes the
  // time zone lock each time.
  const std::int64_t days = secs / 86400, rest = secs % 86400;
  const std::int64_t z = days + 719468;  // days since 0000-03-01
  const std::int64_t era = z / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  struct tm g {};
  g.tm_mday = int(doy - (153 * mp + 2) / 5 + 1);
  g.tm_mon = int(mp < 10 ? mp + 2 : mp - 10);
  g.tm_year = int(std::int64_t(yoe) + era * 400 + (g.tm_mon <= 1) - 1900);
  g.tm_hour = int(rest / 3600);
  g.tm_min = int(rest / 60 % 60);
  g.tm_sec = int(rest % 60);
  SCOMBO s;
  s.ldate = 0;
  TmDate_to_DosDate(&g, &s);
  return s;
}
