// Control information blocks: kludges, each introduced by SOH (0x01) and
// running to the next SOH or the end, the block ending in a NUL. This is the
// form in which every format hands kludges to callers and takes them back.
#ifndef ZANDREL_CTRLINFO_H
#define ZANDREL_CTRLINFO_H

#include <optional>
#include <string>

#include "fidotext.h"
#include "msgapi.h"

// Scans the kludge lines at the start of a *.MSG text (SOH lines and "AREA:"
// lines, after any leading line ends). With `out` null it only counts;
// otherwise it writes the block into `out`. Returns the bytes written, or
// that would be. `end`, when given, receives where the real text begins.
// The block never exceeds 65535 bytes, so the count is exact and a buffer
// sized from it is never overrun: kludge lines that would not fit are left
// whole in front of the real text, and `end` points at the first of them.
word _CopyToBuf(const char* txt, char* out, const char** end);

// The block built from the kludge lines at the start of `txt`: the bytes
// _CopyToBuf writes (ending in two NULs). `newtext`, when given, receives
// where the real text begins; `length`, when given, is reduced by the bytes
// skipped (down to 0, never below). Throws std::bad_alloc when memory runs out.
std::string CopyToControlBuf(const char* txt, const char** newtext,
                             dword* length);

// Corrects `orig` and `dest` from the block's INTL, FMPT and TOPT kludges.
// INTL is used only when its nets and nodes agree with both addresses; an
// FMPT or TOPT without a number sets point 0. `ctrl` may be null.
void ConvertControlInfo(const char* ctrl, NETADDR* orig, NETADDR* dest);

// The block as the kludge lines that begin a *.MSG text, each ended by CR; an
// "AREA:" kludge goes out without its SOH. Throws std::bad_alloc.
std::string CvtCtrlToKludge(const char* ctrl);

// The number of SOH bytes in the block; 65535 when there are more.
word NumKludges(const char* ctrl);

// Deletes, in place, every kludge whose text begins with `what` (a keyword:
// it holds no SOH). Text before the first SOH is kept.
void RemoveFromCtrl(char* ctrl, const char* what);

// Every byte of 0x1F or less becomes a space, in place; returns `s`.
char* StripNasties(char* s);

#endif
