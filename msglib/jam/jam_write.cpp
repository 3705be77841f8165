// Writing JAM messages: a new message at the end of the base, a replacement
// under an old number, or a rewrite of an open message. The XMSG header,
// the control block and the kludge lines of the text all become subfields.
//
// Every store runs under the header-file lock and starts from the header
// info as it is on disk, so counts changed by other processes since this
// area was opened are not lost. Data goes out before anything that points
// at it (text, then header and chain, then the index record, then the header
// info), so a write cut short by a full disk leaves nothing referring to
// bytes that were never written.
#include <cassert>
#include <cstdio>
#include <cstring>

#include "apiutil.h"
#include "arealock.h"
#include "ctrlinfo.h"
#include "jam_int.h"

namespace {

constexpr std::uint64_t MAX_OFFSET = 0xFFFFFFFFu;  // offsets on disk are 32-bit

// Appends a subfield, growing SubfieldLen by its size. One that cannot be
// allocated is left out.
void append_subf(JamHdr* hdr, JamChain* chain, JamSubfield&& sf) {
  try {
    const dword size = SUBF_HEAD_SIZE + dword(sf.data.size());
    chain->push_back(std::move(sf));
    hdr->SubfieldLen += size;
  } catch (const std::bad_alloc&) {
  }
}

void append_text_subf(JamHdr* hdr, JamChain* chain, word id, const byte* field, std::size_t size) {
  try {
    JamSubfield sf;
    sf.id = id;
    sf.data.assign(reinterpret_cast<const char*>(field), ::strnlen(reinterpret_cast<const char*>(field), size));
    append_subf(hdr, chain, std::move(sf));
  } catch (const std::bad_alloc&) {
  }
}

dword user_crc(const XMSG* msg) {
  return Jam_Crc32(msg->to, ::strnlen(reinterpret_cast<const char*>(msg->to), sizeof msg->to));
}

// A length that cannot be measured counts as 0; the checks below then fail
// only on offsets that really do not fit.
std::uint64_t length_of(const UniqueFd& fd) {
  std::int64_t n = file_length(fd.get());
  return n > 0 ? std::uint64_t(n) : 0;
}

bool write_at(JamBase* b, const UniqueFd& fd, std::uint64_t pos, const void* data, std::size_t n) {
  b->drop_ahead();
  return seek_file(fd.get(), std::int64_t(pos), SEEK_FROM_START) == std::int64_t(pos) &&
         write_all(fd.get(), data, n);
}

bool write_header_and_chain(JamBase* b, std::uint64_t pos, const JamHdr& hdr, const JamChain& chain) {
  assert(hdr.SubfieldLen == chain_size(chain));
  std::string buf(HDR_SIZE, '\0');
  encode_hdr(hdr, reinterpret_cast<uint8_t*>(buf.data()));
  buf += encode_subfields(chain, hdr.SubfieldLen);
  return write_at(b, b->jhr, pos, buf.data(), buf.size());
}


// Appends the body to ".jdt" and points the header at it.
sword append_body(JamBase* b, JamMsgState* m, JamHdr* hdr, const std::string& body) {
  const std::uint64_t at = length_of(b->jdt);
  if (at + body.size() > MAX_OFFSET) return fail(APIERR_FILE_IO);
  hdr->TxtOffset = dword(at);
  hdr->TxtLen = dword(body.size());
  if (body.empty()) return 0;
  if (seek_file(b->jdt.get(), std::int64_t(at), SEEK_FROM_START) != std::int64_t(at))
    return fail(APIERR_FILE_IO);
  if (write_upto(b->jdt.get(), body.data(), body.size()) != std::int64_t(body.size()))
    return fail(APIERR_SHORT_WRITE);
  m->bytes_written = dword(body.size());
  m->cur_pos = dword(at + body.size());  // the text file's position after the write
  b->jdt_size = std::int64_t(at + body.size());
  return 0;
}


struct Store {
  JamBase* b;
  JamMsgState* m;
  const XMSG* src;  // the header the new JamHdr came from
  bool caller_xmsg;
  JamHdr hdr;
  JamChain chain;
  const std::string* body;  // null: no text given
  dword totlen;
};

// A new message after the last index record.
sword store_new(Store& s, const JamHdrInfo& disk) {
  JamBase* b = s.b;
  const std::uint64_t jdx_len = length_of(b->jdx), jhr_len = length_of(b->jhr);
  // A torn last record is overwritten, keeping records on 8-byte boundaries.
  const std::uint64_t recno = jdx_len / IDX_SIZE;
  const std::uint64_t idx_pos = recno * IDX_SIZE;
  if (idx_pos + IDX_SIZE > MAX_OFFSET || jhr_len > MAX_OFFSET) return fail(APIERR_FILE_IO);
  s.hdr.MsgNum = dword(recno) + disk.BaseMsgNum;
  s.hdr.TxtOffset = dword(std::min(length_of(b->jdt), MAX_OFFSET));
  if (s.body && append_body(b, s.m, &s.hdr, *s.body) != 0) return -1;
  s.hdr.ReplyCRC = 0xFFFFFFFFu;
  if (!write_header_and_chain(b, jhr_len, s.hdr, s.chain)) return fail(APIERR_FILE_IO);
  if (!Jam_WriteIdx(b, dword(idx_pos), JamIdx{user_crc(s.src), dword(jhr_len)}))
    return fail(APIERR_FILE_IO);
  Jam_TableSet(b, dword(idx_pos), dword(jhr_len));
  return Jam_FinishStore(b, disk);
}

// A mode-0 handle opened on message n: the new message takes its index record.
sword store_replace(Store& s, const JamHdrInfo& disk) {
  JamBase* b = s.b;
  JamMsgState* m = s.m;
  const std::uint64_t jhr_len = length_of(b->jhr);
  if (jhr_len > MAX_OFFSET) return fail(APIERR_FILE_IO);
  s.hdr.MsgNum = m->hdr.MsgNum;
  s.hdr.TxtOffset = dword(std::min(length_of(b->jdt), MAX_OFFSET));
  if (s.body && append_body(b, m, &s.hdr, *s.body) != 0) return -1;
  // Reserve room for the whole text; a total not beyond what was written
  // would land inside the new text, so it reserves nothing.
  if (s.totlen > s.hdr.TxtLen) {
    const std::uint64_t last = std::uint64_t(s.hdr.TxtOffset) + s.totlen - 1;
    const byte zero = 0;
    if (last <= MAX_OFFSET && !write_at(b, b->jdt, last, &zero, 1)) return fail(APIERR_SHORT_WRITE);
  }
  s.hdr.ReplyCRC = 0xFFFFFFFFu;
  if (!write_header_and_chain(b, jhr_len, s.hdr, s.chain)) return fail(APIERR_FILE_IO);
  const JamIdx idx{user_crc(s.src), dword(jhr_len)};
  if (!Jam_WriteIdx(b, m->idx_pos, idx)) return fail(APIERR_FILE_IO);
  if (!Jam_MarkDeleted(b, m->hdr_pos, m->hdr)) return fail(APIERR_FILE_IO);
  Jam_TableSet(b, m->idx_pos, dword(jhr_len));
  Jam_TableDropHeader(b, m->hdr_pos);
  // The handle now describes the message it stored.
  m->idx = idx;
  m->hdr = s.hdr;
  m->hdr_pos = dword(jhr_len);
  return Jam_FinishStore(b, disk);
}

// A handle opened for writing: header and chain anew, kludges kept.
sword store_rewrite(Store& s, const JamHdrInfo& disk) {
  JamBase* b = s.b;
  JamMsgState* m = s.m;
  // The old control block goes last into the chain, so kludges survive.
  ConvertCtrlToSubf(&s.hdr, &s.chain, dword(m->ctrl.size()),
                    reinterpret_cast<const byte*>(m->ctrl.c_str()));
  const dword crc = s.caller_xmsg ? user_crc(s.src) : m->idx.UserCRC;
  const std::uint64_t jhr_len = length_of(b->jhr);
  // A chain that outgrows the stored one cannot stay in place.
  const bool moved = s.hdr.SubfieldLen > m->hdr.SubfieldLen;
  if (moved && jhr_len > MAX_OFFSET) return fail(APIERR_FILE_IO);
  const dword pos = moved ? dword(jhr_len) : m->hdr_pos;
  s.hdr.MsgNum = m->hdr.MsgNum;
  s.hdr.ReplyCRC = 0xFFFFFFFFu;
  if (s.body) {
    if (append_body(b, m, &s.hdr, *s.body) != 0) return -1;
  } else {
    s.hdr.TxtOffset = m->hdr.TxtOffset;
    s.hdr.TxtLen = m->hdr.TxtLen;
  }
  if (!write_header_and_chain(b, pos, s.hdr, s.chain)) return fail(APIERR_FILE_IO);
  const JamIdx idx{crc, pos};
  if (!Jam_WriteIdx(b, m->idx_pos, idx)) return fail(APIERR_FILE_IO);
  if (moved && !Jam_MarkDeleted(b, m->hdr_pos, m->hdr)) return fail(APIERR_FILE_IO);
  Jam_TableSet(b, m->idx_pos, pos);
  if (moved) Jam_TableDropHeader(b, m->hdr_pos);
  m->idx = idx;
  m->hdr = s.hdr;
  m->hdr_pos = pos;
  m->chain = std::move(s.chain);
  m->has_chain = true;
  DecodeSubf(m);
  return Jam_FinishStore(b, disk);
}

struct KludgeKind {
  const char* text;
  word id;
  std::size_t skip;  // the data starts this far from the start of the line
};

constexpr KludgeKind kludge_kinds[] = {
    {"SEEN-BY: ", SF_SEENBY, 9}, {"PATH: ", SF_PATH, 6},   {"MSGID: ", SF_MSGID, 7},
    {"REPLY: ", SF_REPLY, 7},    {"PID: ", SF_PID, 5},     {"Via ", SF_VIA, 4},
    {"FLAGS ", SF_FLAGS, 6},     {"TZUTC: ", SF_TZUTC, 7},
};

sword Jam_Write(JamMsgState* m, const XMSG* msg, const byte* text, dword textlen, dword totlen,
                dword clen, const byte* ctxt) {
  HAREA ha = m->sq;
  JamBase* b = &jam_area(ha);
  const bool rewrite = m->mode != MO_CREATE;
  if (!ctxt) clen = 0;
  if (!clen) ctxt = nullptr;
  if (!text) textlen = 0;
  if (!textlen) text = nullptr;
  if (rewrite) {  // a rewrite keeps the message's own kludges
    ctxt = nullptr;
    clen = 0;
  }
  if (clen) {
    const std::size_t n = std::strlen(reinterpret_cast<const char*>(ctxt));
    if (clen < n) clen = dword(n + 1);
  }

  Store s{b, m, msg, msg != nullptr, JamHdr{}, JamChain{}, nullptr, totlen};
  XMSG current{};
  bool have_hdr = false;
  if (msg) {
    ConvertXmsgToJamHdr(m, msg, &s.hdr, &s.chain);
    have_hdr = true;
  } else if (rewrite) {
    JamReadMsg(m, &current, 0, 0, nullptr, 0, nullptr);
    s.src = &current;
    ConvertXmsgToJamHdr(m, &current, &s.hdr, &s.chain);
    have_hdr = true;
  }

  // Never written without the lock: that would race the process that holds
  // it (index records written over each other, wrong counts).
  AreaLock lock(b->jhr.get(), LockWait::kWait, ha->locked);
  if (!lock.ok()) return fail(APIERR_FILE_IO);
  if (ctxt) ConvertCtrlToSubf(&s.hdr, &s.chain, clen, ctxt);
  std::string body;
  if (text) {
    body = DelimText(&s.hdr, &s.chain, reinterpret_cast<const char*>(text));
    s.body = &body;
  } else if (rewrite) {
    // Without new text the old SEEN-BY, PATH and Via lines come back from
    // the trailer; the text itself stays where it is.
    DelimText(&s.hdr, &s.chain, m->trailer.c_str());
  }

  sword rc = 0;
  if (have_hdr) {
    JamHdrInfo disk;
    if (!Jam_SyncLocked(b, &disk)) {
      rc = fail(APIERR_FILE_IO);
    } else {
      rc = rewrite ? store_rewrite(s, disk) : m->msgnum == 0 ? store_new(s, disk) : store_replace(s, disk);
      // A store cut short may have left the table behind the files.
      if (rc != 0) {
        Jam_ActiveMsgs(b);
        b->synced = false;
      }
    }
  }
  lock.release();
  ha->num_msg = b->num_active();
  ha->high_msg = dword(length_of(b->jdx) / IDX_SIZE);
  return rc;
}

}  // namespace

bool Jam_WriteIdx(JamBase* b, dword idx_pos, const JamIdx& idx) {
  uint8_t buf[IDX_SIZE];
  encode_idx(idx, buf);
  return write_at(b, b->jdx, idx_pos, buf, sizeof buf);
}

bool Jam_MarkDeleted(JamBase* b, dword pos, JamHdr old) {
  old.TxtLen = 0;
  old.Attribute |= JAM_DELETED;
  uint8_t buf[HDR_SIZE];
  encode_hdr(old, buf);
  return write_at(b, b->jhr, pos, buf, sizeof buf);
}

sword Jam_FinishStore(JamBase* b, const JamHdrInfo& disk) {
  JamHdrInfo h = b->hinfo;
  h.ModCounter = disk.ModCounter + 1;
  h.ActiveMsgs = b->num_active();
  if (!Jam_WriteHdrInfo(b, h)) return fail(APIERR_FILE_IO);
  Jam_TableCommit(b, h.ModCounter);
  b->changed = true;
  return 0;
}

void ConvertXmsgToJamHdr(const JamMsgState* m, const XMSG* msg, JamHdr* hdr, JamChain* chain) {
  std::memset(hdr, 0, sizeof *hdr);
  chain->clear();
  const byte isecho = m->sq->isecho;
  hdr->Attribute = Jam_MsgAttrToJam(msg);
  if (isecho == 0)
    hdr->Attribute |= JAM_NETMAIL;
  else if (isecho != 3)
    hdr->Attribute |= JAM_ECHOMAIL;
  std::memcpy(hdr->Signature, "JAM", 4);
  hdr->Revision = 1;
  hdr->DateProcessed = msg->date_arrived.ldate == 0 ? jam_local_now() : jam_local_seconds(msg->date_arrived);
  hdr->DateWritten = jam_local_seconds(msg->date_written);
  append_text_subf(hdr, chain, SF_SENDER, msg->from, sizeof msg->from);
  append_text_subf(hdr, chain, SF_RECEIVER, msg->to, sizeof msg->to);
  append_text_subf(hdr, chain, SF_SUBJECT, msg->subj, sizeof msg->subj);
  if (isecho == 0) {
    try {
      append_subf(hdr, chain, NETADDRtoSubf(msg->orig, false));
      append_subf(hdr, chain, NETADDRtoSubf(msg->dest, true));
    } catch (const std::bad_alloc&) {
    }
  }
  hdr->PasswordCRC = 0xFFFFFFFFu;
  hdr->ReplyTo = msg->replyto;
  hdr->Reply1st = msg->replies[0];
  hdr->ReplyNext = msg->replies[MAX_REPLY - 1];
}

JamSubfield NETADDRtoSubf(const NETADDR& a, bool dest) {
  char buf[32];
  if (a.point)
    std::snprintf(buf, sizeof buf, "%u:%u/%u.%u", unsigned(a.zone), unsigned(a.net), unsigned(a.node),
                  unsigned(a.point));
  else
    std::snprintf(buf, sizeof buf, "%u:%u/%u", unsigned(a.zone), unsigned(a.net), unsigned(a.node));
  JamSubfield sf;
  sf.id = dest ? SF_DEST_ADDR : SF_ORIG_ADDR;
  sf.data = buf;
  return sf;
}

bool StrToSubfield(const char* line, JamSubfield* out) {
  std::string s(line);
  while (!s.empty() && s.back() == '\r') s.pop_back();
  // Rebuilt from the address subfields when the message is read.
  for (const char* derived : {"INTL ", "FMPT ", "TOPT "})
    if (s.find(derived) != std::string::npos) return false;
  out->id = SF_KLUDGE;
  out->reserved = 0;
  std::size_t skip = 0;
  for (const KludgeKind& k : kludge_kinds) {
    if (s.find(k.text) != std::string::npos) {
      out->id = k.id;
      skip = k.skip;
      break;
    }
  }
  // The text sits somewhere in the line, so the line is at least this long.
  out->data = s.substr(skip);
  return true;
}

void ConvertCtrlToSubf(JamHdr* hdr, JamChain* chain, dword clen, const byte* ctxt) {
  try {
    std::string block(reinterpret_cast<const char*>(ctxt), clen);
    block.resize(std::strlen(block.c_str()));  // the block ends at its first NUL
    std::size_t pos = 0;
    while (pos <= block.size()) {
      std::size_t soh = block.find('\x01', pos);
      if (soh == std::string::npos) soh = block.size();
      if (soh > pos) {
        JamSubfield sf;
        if (StrToSubfield(block.substr(pos, soh - pos).c_str(), &sf)) append_subf(hdr, chain, std::move(sf));
      }
      pos = soh + 1;
    }
    if (std::optional<std::string> id = GetCtrlToken(block.c_str(), "MSGID")) {
      const std::size_t skip = std::min<std::size_t>(id->size(), 7);  // "MSGID: "
      hdr->MsgIdCRC = Jam_Crc32(id->data() + skip, id->size() - skip);
    }
  } catch (const std::bad_alloc&) {
  }
}

std::string DelimText(JamHdr* hdr, JamChain* chain, const char* text) {
  std::string out;
  const char* p = text;
  while (*p) {
    const char* cr = std::strchr(p, '\r');
    const std::size_t n = cr ? std::size_t(cr - p) : std::strlen(p);
    const std::string line(p, n);
    if (line.compare(0, 9, "SEEN-BY: ") == 0 || line[0] == '\x01') {
      JamSubfield sf;
      if (StrToSubfield(line.c_str() + (line[0] == '\x01' ? 1 : 0), &sf))
        append_subf(hdr, chain, std::move(sf));
    } else {
      out += line;
      out += '\r';
    }
    p += n + (cr ? 1 : 0);
  }
  return out;
}

sword JamWriteMsg(HMSG mh, word append, const XMSG* msg, const byte* text, dword textlen,
                  dword totlen, dword clen, const byte* ctxt) {
  // Appending to a stored message is not supported; callers never ask.
  assert(append == 0);
  (void)append;
  if (InvalidMsgh(mh)) return -1;
  JamMsgState* m = &jam_msg(mh);
  if (m->mode != MO_CREATE && m->mode != MO_WRITE && m->mode != MO_READWRITE) return -1;
  if (jam_area(m->sq).read_only) return fail_read_only(jam_area(m->sq).write_refused);
  return guard_alloc<sword>(-1, [&] { return Jam_Write(m, msg, text, textlen, totlen, clen, ctxt); });
}
