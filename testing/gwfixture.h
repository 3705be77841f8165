// Helpers for end-to-end tests of the gateway commands: messages stored
// through msglib the way other FidoNet software would store them, and the
// input and output of a front end.
#ifndef ZANDREL_GWFIXTURE_H
#define ZANDREL_GWFIXTURE_H

#include <string>

#include "msgapi.h"

namespace zt {

// A header with the given names and subject (copied with the field limits,
// without forcing a NUL), origin address and date written.
struct Date {
  int year, month, day, hour, min, sec;
};
XMSG MakeHeader(const std::string& from, const std::string& to, const std::string& subj,
                NETADDR orig, Date written);

// Stores one new message in the area (created when missing) and returns its
// number, 0 when anything fails (the test has then failed too).
dword StoreMessage(const std::string& path, word type, const XMSG& hdr, const std::string& ctrl,
                   const std::string& text);
// The same into an area already open, which it closes.
dword StoreMessage(HAREA ha, const XMSG& hdr, const std::string& ctrl, const std::string& text);

// What the front end receives for text the gateway wrote: every LF as CR LF.
std::string Crlf(const std::string& s);

// A POST command with its four lines and text; the length is that of `text`
// (which the gateway counts after CR LF pairs became LF).
std::string PostInput(const std::string& spec, const std::string& orig, const std::string& dest,
                      const std::string& reply, const std::string& from, const std::string& to,
                      const std::string& subj, const std::string& text);

}  // namespace zt

#endif
