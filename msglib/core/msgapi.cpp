#include "msgapi.h"

#include "formats.h"
#include "msgerr.h"

word msgapierr = APIERR_OK;
struct _minf mi = {0, 0, 1};

sword MsgOpenApi(struct _minf* minf) {
  if (minf) {
    mi.req_version = minf->req_version;
    mi.def_zone = minf->def_zone;
  }
  mi.haveshare = 1;  // sharing and locking are always on
  return 0;
}

sword MsgCloseApi(void) { return 0; }

HAREA MsgOpenArea(const char* name, word mode, word type) {
  begin_operation();
  return MsgFormatOf(type).open(name, mode, type);
}

sword MsgValidate(word type, const char* name) {
  begin_operation();
  return MsgFormatOf(type).validate(name);
}

// Every operation checks its handle first; there it starts without notes.
sword InvalidMh(HAREA mh) {
  begin_operation();
  if (mh == nullptr || mh->id != AREA_HANDLE_ID) {
    report_failure(APIERR_BAD_HANDLE);
    return 1;
  }
  return 0;
}

sword InvalidMsgh(HMSG msgh) {
  if (msgh == nullptr || msgh->id != MSG_HANDLE_ID || InvalidMh(msgh->sq)) {
    begin_operation();
    report_failure(APIERR_BAD_HANDLE);
    return 1;
  }
  return 0;
}
