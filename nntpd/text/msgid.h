// Message-IDs of FidoNet messages.
//
// The back end turns a MSGID value into "<" + the value with every byte but
// ASCII letters and digits written as "$xx" (lowercase hex) + "@zandrel.exe>",
// cut so the whole stays within 255 characters. Messages without a MSGID get
// one here, derived from their content, in a form the back end never makes.
#ifndef NNTPD_TEXT_MSGID_H
#define NNTPD_TEXT_MSGID_H

#include <optional>
#include <string>
#include <string_view>

namespace nntpd {

// The MSGID value the back end made `messageId` from. Nothing when
// `messageId` is not exactly such a mapping, when the value may have been cut
// to fit, when it is empty, and when it holds control bytes (which would
// break the line it is sent on).
std::optional<std::string> ftnMsgid(std::string_view messageId);

// Whether `messageId` has the back end's form with a non-empty value: a
// Message-ID readers can use. "<@zandrel.exe>", made from an empty MSGID, is
// not one.
bool isBackendMessageId(std::string_view messageId);

// The stable Message-ID of a message without a MSGID: a hash of the group
// and of the sender, subject, date and line count as the back end shows them
// both in overview lines and in articles, so that the two agree; `date` in
// the overview's form, "07 Mar 02 09:05:42". The addressee is not in the
// overview and so not in the hash. "<" + 32 hex digits + "@nomsgid.invalid>".
std::string contentMessageId(std::string_view group, std::string_view from,
                             std::string_view subject, std::string_view date,
                             std::string_view lines);

}  // namespace nntpd

#endif
