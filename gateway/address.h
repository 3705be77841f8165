// FidoNet identities turned into the Usenet-style identities the front end
// shows. Addresses are read, and kludges looked up, by msglib's FidoNet text
// module (fidotext.h), which this header brings along.
//
// Results are returned by value, appended to a string, or written into a
// buffer by the put* forms, for HEAD, which builds a line per message: these
// take a buffer with the room named beside them and return the end of what
// they wrote. The length limits of the fixed buffers the protocol was built
// around still hold (Message-IDs and kludge values at most 255 characters).
#ifndef ZANDREL_ADDRESS_H
#define ZANDREL_ADDRESS_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "fidotext.h"
#include "msgapi.h"

// Every generated From address ends in this domain.
constexpr const char GATE_DOMAIN[] = "fidonet.org";

// "zone:net/node", with ".point" when the point is not 0.
std::string ftnAddrStr(const NETADDR& a);

// The From value for sender `from` at address `a`:
// "Name <Cleaned.Name@p1.f52.n5020.z2.fidonet.org>".
std::string addrStr(const char* from, const NETADDR& a);
void appendAddr(std::string& out, const char* from, const NETADDR& a);
// Room for putAddr and putFrom to work in; what they leave is at most 255
// characters.
constexpr std::size_t FROM_ROOM = 512;
char* putAddr(char* out, const char* from, const NETADDR& a);

// The Message-ID for a MSGID or REPLY value: letters and digits kept, every
// other byte as "$xx", cut so that the result stays within 255 characters.
// Empty when `msgid` is null.
std::string msgidStr(const char* msgid);
inline std::string msgidStr(const std::optional<std::string>& msgid) {
  return msgidStr(msgid ? msgid->c_str() : nullptr);
}
// The same appended to `out`; nothing for no value.
void appendMsgid(std::string& out, std::optional<std::string_view> msgid);
constexpr std::size_t MSGID_ROOM = 256;
char* putMsgid(char* out, std::optional<std::string_view> msgid);

// The zone of an article's Date header: the writer's offset from UTC that a
// TZUTC kludge in `ctl` gives, as "+hhmm" or "-hhmm". "+0000" without one,
// and when its value is not an optional sign followed by hmm or hhmm, at
// most 14 hours and under 60 minutes, with nothing but blanks after it.
std::string dateZone(const char* ctl);

// The sender's From value: the address of the MSGID kludge, else that of the
// origin line, else the header's `orig`. `msg.from` is read up to its 36th
// byte at most.
std::string getFrom(const char* ctl, const XMSG& msg, const char* txt);
void appendFrom(std::string& out, const char* ctl, const XMSG& msg, const char* txt);
// The same with the MSGID kludge's value already looked up in `ctl`.
void appendFrom(std::string& out, std::optional<std::string_view> msgid, const XMSG& msg,
                const char* txt);
char* putFrom(char* out, std::optional<std::string_view> msgid, const XMSG& msg, const char* txt);

// The number of carriage returns in `txt`, up to its NUL.
int countLines(const char* txt);
// The same for a text of which at most `size` bytes are looked at: up to
// its first NUL, or all `size` when it has none.
int countLines(const char* txt, std::size_t size);

#endif
