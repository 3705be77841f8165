// JAM messages: opening, reading, closing. Names, subject and addresses live
// in subfields; reading turns the kludge subfields back into a control block
// and returns SEEN-BY, PATH and Via lines as a trailer after the body.
#include <algorithm>
#include <cstring>
#include <memory>

#include "apiutil.h"
#include "ctrlinfo.h"
#include "fidotext.h"
#include "jam_int.h"
#include "structrw.h"

namespace {

// Chain bytes fetched together with a header when the next header's place
// says nothing; a longer chain takes a second read.
constexpr dword CHAIN_READAHEAD = 1024;
// The most chain bytes fetched on the next header's word.
constexpr dword CHAIN_MAX_AHEAD = 64 * 1024;

// Subfield data as a C string: it ends at its length or at an embedded NUL.
std::string_view subf_text(const JamSubfield& sf) {
  return std::string_view(sf.data.data(), ::strnlen(sf.data.data(), sf.data.size()));
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(s[i]) != lower(prefix[i])) return false;
  }
  return true;
}

// Splits an address text for the INTL line: `addr` without its point or
// domain, `point` the point's digits when the point is not zero.
void split_for_intl(std::string_view text, std::string* addr, std::string* point) {
  text = text.substr(0, text.find('@'));
  const std::size_t dot = text.find('.');
  point->clear();
  if (dot != std::string_view::npos) {
    std::string_view digits = text.substr(dot + 1);
    std::size_t n = 0;
    while (n < digits.size() && digits[n] >= '0' && digits[n] <= '9') ++n;
    digits = digits.substr(0, n);
    if (digits.find_first_not_of('0') != std::string_view::npos) point->assign(digits);
    text = text.substr(0, dot);
  }
  addr->assign(text);
}

// Copies a name or subject into its fixed field, cut to the field size minus
// one so that it always ends in NUL.
void copy_field(byte* field, std::size_t size, const JamSubfield* sf) {
  std::memset(field, 0, size);
  if (!sf) return;
  const std::size_t n = std::min(sf->data.size(), size - 1);
  std::memcpy(field, sf->data.data(), n);
}

const JamSubfield* first_subf(const JamMsgState* m, word id) {
  std::size_t p = 0;
  return Jam_GetSubField(m, &p, id);
}

// A handle as a new one is, made from the area's spare one when it has one:
// the buffers keep their room. With `decoding` the chain keeps its old
// subfields too, for decode_subfields to overwrite in place; the caller
// then decodes a chain before the handle is used.
std::unique_ptr<JamMsgState> Jam_NewMsg(JamBase* b, bool decoding = false) {
  if (!b->spare) return std::make_unique<JamMsgState>();
  std::unique_ptr<JamMsgState> m = std::move(b->spare);
  // Every member as a new handle has it; the containers only emptied.
  static_cast<MSGH&>(*m) = MSGH{};
  m->idx = JamIdx{};
  m->hdr = JamHdr{};
  if (!decoding) m->chain.clear();
  // spare_data is room only, and stays.
  m->has_chain = false;
  m->idx_pos = 0;
  m->hdr_pos = 0;
  m->ctrl.clear();
  m->trailer.clear();
  m->msgnum = 0;
  m->mode = 0;
  return m;
}

// Null, with the reason noted, when the message cannot be opened.
std::unique_ptr<JamMsgState> Jam_OpenMsg(HAREA ha, word mode, dword msgn) {
  JamBase* b = &jam_area(ha);
  auto failed = [&msgn](const char* what) {
    note_message(msgn, what);
    return nullptr;
  };
  if (msgn == MSGN_CURRENT) {
    msgn = ha->cur_msg;
  } else if (msgn == MSGN_NEXT) {
    if (ha->cur_msg >= ha->num_msg) return failed(nullptr);
    msgn = ++ha->cur_msg;
  } else if (msgn == MSGN_PREVIOUS) {
    // Before the first message there is no previous one: cur_msg stays.
    if (ha->cur_msg <= 1) return failed(nullptr);
    msgn = --ha->cur_msg;
  }
  if (msgn < 1 || msgn > ha->num_msg || msgn > b->scan.table.size()) return failed(nullptr);

  std::unique_ptr<JamMsgState> m = Jam_NewMsg(b, mode != MO_CREATE);
  m->sq = ha;
  m->msgnum = msgn;
  m->mode = mode;
  m->idx_pos = b->scan.table[msgn - 1].idx_pos;

  if (!Jam_ReadIdx(b, m->idx_pos, &m->idx)) return failed("cannot read its index record");
  if (m->idx.HdrOffset == JAM_NO_OFFSET || !Jam_HeaderFits(b, m->idx.HdrOffset, 0))
    return failed("damaged index record");
  m->hdr_pos = m->idx.HdrOffset;

  // Header and, for a reading handle, its chain in one read: up to where the
  // next message's header starts, which is where this chain ends in a base
  // written in order, else a guess that takes most chains.
  std::uint64_t want = HDR_SIZE;
  if (mode != MO_CREATE) {
    want += CHAIN_READAHEAD;
    if (msgn < b->scan.table.size()) {
      const std::uint64_t next = b->scan.table[msgn].hdr_ofs;
      if (next >= m->hdr_pos + HDR_SIZE && next - m->hdr_pos <= HDR_SIZE + CHAIN_MAX_AHEAD)
        want = next - m->hdr_pos;
    }
  }
  const std::uint64_t room = std::uint64_t(b->jhr_size) - m->hdr_pos;
  std::int64_t got = 0;
  const uint8_t* bytes = Jam_HeaderBytes(b, msgn, m->hdr_pos,
                                         std::size_t(std::min<std::uint64_t>(room, want)), &got);
  if (!bytes || got < std::int64_t(HDR_SIZE)) return failed("cannot read its header");
  decode_hdr(bytes, &m->hdr);
  if (!jam_signature_ok(m->hdr.Signature)) return failed("damaged header");
  // Lengths and offsets from disk must stay inside their files.
  if (!Jam_HeaderFits(b, m->hdr_pos, m->hdr.SubfieldLen))
    return failed("header runs past the end of the header file");
  if (!Jam_TextFits(b, m->hdr.TxtOffset, m->hdr.TxtLen))
    return failed("text lies past the end of the text file");

  if (mode != MO_CREATE) {
    const dword len = m->hdr.SubfieldLen;
    if (std::uint64_t(got) - HDR_SIZE < len) {
      // The rest of a longer chain is read behind what came.
      std::vector<uint8_t>& buf = b->hdr_buf;
      if (bytes != buf.data()) buf.assign(bytes, bytes + got);
      buf.resize(HDR_SIZE + std::size_t(len));
      std::int64_t more = read_at(b->jhr.get(), buf.data() + got, buf.size() - std::size_t(got),
                                  m->hdr_pos + std::uint64_t(got));
      // A short read is not refused: the records that arrived are decoded.
      got += std::max<std::int64_t>(more, 0);
      bytes = buf.data();
    }
    const dword have = dword(std::min<std::uint64_t>(std::uint64_t(got) - HDR_SIZE, len));
    // The header keeps its stored SubfieldLen: that is the room a rewrite in
    // place may use.
    decode_subfields(bytes + HDR_SIZE, have, &m->chain, &m->spare_data);
    m->has_chain = true;
    DecodeSubf(m.get());
  }
  return m;
}

}  // namespace

HMSG JamOpenMsg(HAREA ha, word mode, dword msgn) {
  if (InvalidMh(ha)) return nullptr;
  std::unique_ptr<JamMsgState> m;
  if (mode == MO_CREATE) {
    if (sdword(msgn) < 0 || msgn > ha->num_msg) {
      note_message(msgn, nullptr);
      return fail_null(APIERR_NOT_FOUND);
    }
    if (msgn == 0) {
      try {
        m = Jam_NewMsg(&jam_area(ha));
      } catch (const std::bad_alloc&) {
        return fail_null(APIERR_NO_MEMORY);
      }
      m->sq = ha;
    }
  } else if (msgn == 0) {
    note_message(0, nullptr);
    return fail_null(APIERR_NOT_FOUND);
  }
  if (!m) {
    try {
      m = Jam_OpenMsg(ha, mode, msgn);
    } catch (const std::bad_alloc&) {
      m.reset();
      note_reason("out of memory");
    }
    if (!m) return fail_null(APIERR_NOT_FOUND);
  }
  m->mode = mode;
  m->id = MSG_HANDLE_ID;
  jam_area(ha).open_msgs++;
  return m.release();
}

sword JamCloseMsg(HMSG mh) {
  if (InvalidMsgh(mh)) return -1;
  JamMsgState* m = &jam_msg(mh);
  JamBase& b = jam_area(m->sq);
  b.open_msgs--;
  m->id = 0;
  b.spare.reset(m);  // its buffers serve the next message
  return 0;
}

const JamSubfield* Jam_GetSubField(const JamMsgState* m, std::size_t* pos, word id) {
  while (*pos < m->chain.size()) {
    const JamSubfield* sf = &m->chain[(*pos)++];
    if (sf->id == id) return sf;
  }
  return nullptr;
}

void DecodeSubf(JamMsgState* m) {
  m->ctrl.clear();
  m->trailer.clear();
  if (m->sq->isecho == 0) {
    // Netmail: INTL, FMPT and TOPT are not stored; the addresses tell them.
    const JamSubfield* o = first_subf(m, SF_ORIG_ADDR);
    const JamSubfield* d = first_subf(m, SF_DEST_ADDR);
    std::string oaddr, opoint, daddr, dpoint;
    if (o) split_for_intl(subf_text(*o), &oaddr, &opoint);
    if (d) split_for_intl(subf_text(*d), &daddr, &dpoint);
    if (o && d) m->ctrl.add("\x01INTL " + daddr, " ", oaddr);
    if (!opoint.empty()) m->ctrl.add("\x01" "FMPT ", opoint);
    if (!dpoint.empty()) m->ctrl.add("\x01TOPT ", dpoint);
  }
  for (const JamSubfield& sf : m->chain) {
    const std::string_view data = subf_text(sf);
    switch (sf.id) {
      case SF_MSGID: m->ctrl.add("\x01MSGID: ", data); break;
      case SF_REPLY: m->ctrl.add("\x01REPLY: ", data); break;
      case SF_PID: m->ctrl.add("\x01PID: ", data); break;
      case SF_VIA: m->trailer.add("\x01Via ", data, "\r"); break;
      case SF_KLUDGE:
        if (starts_with_nocase(data, "Via") || starts_with_nocase(data, "Recd"))
          m->trailer.add("\x01", data, "\r");
        else
          m->ctrl.add("\x01", data);
        break;
      case SF_SEENBY: m->trailer.add("SEEN-BY: ", data, "\r"); break;
      case SF_PATH: m->trailer.add("\x01PATH: ", data, "\r"); break;
      case SF_FLAGS: m->ctrl.add("\x01" "FLAGS ", data); break;
      case SF_TZUTC: m->ctrl.add("\x01TZUTC: ", data); break;
      default: break;
    }
  }
}

dword JamReadMsg(HMSG mh, XMSG* msg, dword ofs, dword bytes, byte* text, dword cbytes,
                 byte* ctxt) {
  if (InvalidMsgh(mh)) return READ_FAILED;
  JamMsgState* m = &jam_msg(mh);
  JamBase* b = &jam_area(m->sq);
  if (m->hdr.Attribute & JAM_DELETED) {
    note_message(m->msgnum, "deleted");
    report_failure_keeping_code();
    return READ_FAILED;
  }

  if (msg) {
    msg->attr = Jam_JamAttrToMsg(m->hdr.Attribute);
    copy_field(msg->from, sizeof msg->from, first_subf(m, SF_SENDER));
    copy_field(msg->to, sizeof msg->to, first_subf(m, SF_RECEIVER));
    copy_field(msg->subj, sizeof msg->subj, first_subf(m, SF_SUBJECT));
    StripNasties(reinterpret_cast<char*>(msg->from));
    StripNasties(reinterpret_cast<char*>(msg->to));
    StripNasties(reinterpret_cast<char*>(msg->subj));
    if (!m->has_chain) {
      // A handle that carries only the header has no addresses to give.
      msg->orig = NETADDR{};
      msg->dest = NETADDR{};
    } else {
      if (const JamSubfield* sf = first_subf(m, SF_ORIG_ADDR)) parseAddr(&msg->orig, sf->data);
      if (const JamSubfield* sf = first_subf(m, SF_DEST_ADDR)) parseAddr(&msg->dest, sf->data);
    }
    // Zero is how an empty stamp is stored; read back it stays empty rather
    // than becoming 1970, which a stamp cannot hold.
    msg->date_written.ldate = 0;
    if (m->hdr.DateWritten) msg->date_written = jam_stamp_from_seconds(m->hdr.DateWritten);
    sc_time(&msg->date_written, reinterpret_cast<char*>(msg->__ftsc_date));
    msg->date_arrived.ldate = 0;
    if (m->hdr.DateProcessed) msg->date_arrived = jam_stamp_from_seconds(m->hdr.DateProcessed);
    msg->replyto = m->hdr.ReplyTo;
    msg->replies[0] = m->hdr.Reply1st;
    msg->replies[1] = 0;
    msg->replies[9] = m->hdr.ReplyNext;
  }

  dword got = 0;
  if (bytes && text) {
    const std::uint64_t body = m->hdr.TxtLen;
    const std::uint64_t total = body + m->trailer.size();
    const std::uint64_t at = std::min<std::uint64_t>(ofs, total);
    m->cur_pos = dword(at);
    std::uint64_t n = 0;
    if (at < body) {
      n = std::min<std::uint64_t>(bytes, body - at);
      if (b->txt_ahead.read(b->jdt.get(), m->hdr.TxtOffset + at, text, std::size_t(n)) != std::int64_t(n)) {
        text[0] = 0;  // never a text made of what happened to be in the buffer
        note_message(m->msgnum, "cannot read its text");
        return fail_dword(APIERR_FILE_IO);
      }
      const std::uint64_t tn = std::min<std::uint64_t>(bytes - n, m->trailer.size());
      std::memcpy(text + n, m->trailer.data(), std::size_t(tn));
      n += tn;
    } else {
      n = std::min<std::uint64_t>(bytes, total - at);
      std::memcpy(text, m->trailer.data() + (at - body), std::size_t(n));
    }
    got = dword(n);
    m->cur_pos += got;
    text[got] = 0;
  }
  if (cbytes && ctxt) {
    const std::size_t n = std::min<std::size_t>(cbytes, m->ctrl.size());
    std::memcpy(ctxt, m->ctrl.data(), n);
    ctxt[n] = 0;
  }
  msgapierr = APIERR_OK;
  return got;
}

sword JamSetCurPos(HMSG mh, dword pos) { return set_cur_pos(mh, pos); }
dword JamGetCurPos(HMSG mh) { return get_cur_pos(mh); }

dword JamGetTextLen(HMSG mh) {
  const JamMsgState* m = &jam_msg(mh);
  return m->hdr.TxtLen + dword(m->trailer.size());
}

dword JamGetCtrlLen(HMSG mh) { return dword(jam_msg(mh).ctrl.size()); }
