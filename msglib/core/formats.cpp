#include "formats.h"

#include <iterator>

#include "api_jam.h"
#include "api_sdm.h"
#include "api_sq.h"

namespace {

// In the order a type with several bits is decided; *.MSG last, as the
// format of every type without another bit (a netmail directory is AT_SDM
// or nothing at all).
constexpr MsgFormat formats[] = {
    {AT_SQUISH, '$', SquishOpenArea, SquishValidate},
    {AT_JAM, '#', JamOpenArea, JamValidate},
    {AT_SDM, '@', SdmOpenArea, SdmValidate},
};

}  // namespace

const MsgFormat& MsgFormatOf(word type) {
  for (const MsgFormat& f : formats)
    if (type & f.type) return f;
  return formats[std::size(formats) - 1];
}

const MsgFormat* MsgFormatByPrefix(char prefix) {
  for (const MsgFormat& f : formats)
    if (prefix == f.prefix) return &f;
  return nullptr;
}
