// FidoNet text: the texts that FidoNet software writes into messages and
// headers, read and written in one place for the library and the gateway.
// Lives here: the date text ("dd Mmm yy  hh:mm:ss") and its parser, the
// conversions between SCOMBO stamps and broken-down time, the month tables,
// the address parsers, and the kludge lookups in a control information
// block. Sources: fidotext_date (stamps, the date text, months),
// fidotext_dateparse (the date text read back), fidotext_addr (addresses),
// fidotext_kludge (kludge lookups).
//
// May use: the API's types (msgapi.h) and the C++ library; nothing of the
// formats or the platform layer.
#ifndef ZANDREL_FIDOTEXT_H
#define ZANDREL_FIDOTEXT_H

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "msgapi.h"
#include "stamp.h"

// ---------------------------------------------------------------------------
// Months

// Month names; slot i holds month i + 1.
extern const char months[12][10];    // "January" ... "December"
extern const char months_ab[12][4];  // "Jan" ... "Dec"

// The abbreviation of a stored month: months_ab's slot for 1-12; "Jan" for
// the 0 and 13-15 that a damaged stamp can hold, as every date text of ours
// shows them.
inline const char* monthStr(unsigned mo) {
  return mo >= 1 && mo <= 12 ? months_ab[mo - 1] : months_ab[0];
}

// ---------------------------------------------------------------------------
// Dates and time stamps: conversions between SCOMBO stamps, broken-down
// time, the current local time and FidoNet date strings.

// Whether daylight saving time was in force when first needed; -1 until then.
extern int is_dst;

// Length of a FidoNet date string "dd Mmm yy  hh:mm:ss" and of its field.
constexpr int FTSC_DATE_LEN = 19;
constexpr int FTSC_DATE_SIZE = 20;

// 1 January 1980, 00:00:00.
void StandardDate(SCOMBO* d_date);
// Fills the stamp from a stored date string. An empty string is rewritten
// with the current local time (the buffer holds at least FTSC_DATE_SIZE bytes
// then) and the stamp becomes StandardDate.
void ASCII_Date_To_Binary(char* msgdate, SCOMBO* d_written);
// The current local date and time.
SCOMBO* Get_Dos_Date(SCOMBO* st);
SCOMBO* TmDate_to_DosDate(const struct tm* tmdate, SCOMBO* dosdate);
struct tm* DosDate_to_TmDate(const SCOMBO* dosdate, struct tm* tmdate);
// The FidoNet date string, or "" when the year field is 0. `string` holds at
// least 20 bytes.
char* sc_time(const SCOMBO* sc, char* string);
// Every FidoNet date string msglib and the gateway write is made here:
// "dd Mmm yy  hh:mm:ss", FTSC_DATE_LEN characters and a NUL, into `out`,
// which holds at least FTSC_DATE_SIZE bytes. Other programs copy the text as
// a field of variable length, so it never has another length: each number
// is printed modulo 100 in two digits (the year may be whole or counted from
// 1900), and a month outside 1-12 prints as Jan. Returns `out`.
char* Ftsc_Date(char* out, unsigned day, unsigned month, unsigned year, unsigned hour,
                unsigned minute, unsigned second);
// The same for a broken-down time (tm_mon 0-11, tm_year from 1900).
char* TmDate_to_FtscDate(const struct tm* tmdate, char* out);
// The stored stamp when plausible, else the stored date string parsed.
void Get_Binary_Date(SCOMBO* todate, const SCOMBO* fromdate, char* datestr);


// ---------------------------------------------------------------------------
// Addresses (zone:net/node.point). Three readings, one for each kind of text
// they come from:
// - ParseNN / Parse_NetNode: kludge text (INTL, FMPT, TOPT), lenient, fills
//   only the parts the text holds and the caller asks for.
// - parseAddr: a JAM address subfield, lenient, sets every part.
// - parseFtnAddr: an address the gateway is given or finds in a MSGID or
//   origin line, strict: text that is no address fails.

// Stored in a field by the wildcard form to mean "all".
constexpr word ADDR_ALL = 0xDD6D;

// Fills only the parts the text contains; a null pointer means that part is
// not wanted. `all` non-zero enables the wildcard words ALL and WORLD.
void ParseNN(const char* netnode, word* zone, word* net, word* node,
             word* point, word all);
// ParseNN without wildcards.
void Parse_NetNode(const char* netnode, word* zone, word* net, word* node,
                   word* point);

// The address of a JAM subfield's text (up to its first NUL, and cut at its
// first '@'): every part that the text lacks is 0, and a part reads as its
// leading decimal digits, none giving 0.
void parseAddr(NETADDR* out, const std::string& text);

// Parses the address at the start of `s` (node, net/node, zone:net/node, each
// with an optional .point; also zone:node.point and node.point). The address
// ends at NUL, TAB, LF, CR, space or '@'; numbers keep their low 16 bits.
// Returns 1 on success, 0 on failure. `a` is zeroed unless `s` is null or
// empty; after a failure it may hold the parts parsed so far.
int parseFtnAddr(const char* s, NETADDR* a);

// ---------------------------------------------------------------------------
// Kludge lookups in a control information block (kludges each introduced by
// SOH, the block ending in a NUL). Two readings:
// - GetCtrlToken: the library's, by keyword, case and all.
// - findKludge / getKludge: the gateway's, by name without regard to case.

// The kludge of `where` that begins with `what`, keyword included, without
// its SOH; nothing when absent or not right after an SOH. Only the first
// occurrence of `what` is looked at. Throws std::bad_alloc.
std::optional<std::string> GetCtrlToken(const char* where, const char* what);
// The same kludge seen where it lies in `where`, up to the next SOH or the
// end of the block, without a copy.
std::optional<std::string_view> FindCtrlToken(const char* where, const char* what);

// The value (at most 255 characters) of the first kludge of block `ctl` whose
// text begins with `name`, compared without regard to case. Nothing when the
// kludge is absent or the block does not start with SOH.
std::optional<std::string> getKludge(const char* ctl, const char* name);
// The same value seen where it lies in `ctl`, without a copy.
std::optional<std::string_view> findKludge(const char* ctl, const char* name);

#endif
