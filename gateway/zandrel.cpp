#include "zandrel.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "recode.h"
#include "textio.h"

HAREA openArea(const char* p, int write) {
  word type = AT_SDM;  // no prefix: a netmail directory, the whole text is the path
  switch (*p) {
    case '$': type = AT_SQUISH | AT_ECHO; ++p; break;
    case '#': type = AT_JAM | AT_ECHO; ++p; break;
    case '@': type = AT_SDM | AT_ECHO; ++p; break;
    default: break;
  }
  return MsgOpenArea(p, write ? AOPEN_CREATE_IF_MISSING : AOPEN_EXISTING, type);
}

void chomp(char* s) {
  std::size_t n = std::strlen(s);
  while (n > 0 && (s[n - 1] == '\r' || s[n - 1] == '\n')) s[--n] = '\0';
}

void groupInfo(const char* str) {
  std::size_t len = std::strlen(str);
  if (len < 6) return;
  const char* space = std::strchr(str + 5, ' ');
  if (!space) return;
  std::string spec(str + 5, space);
  HAREA area = openArea(spec.c_str(), 0);
  if (!area) return;
  // An active-file line: group, highest number, lowest number, posting flag.
  gwOut().printf("%s %ld %ld y\n", space + 1, long(sdword(area->high_msg)), 1L);
  area->api->CloseArea(area);
}

void startUp() {
  recode = alt2win;
  recodeBack = win2alt;
  _minf minf{};
  minf.req_version = 0;
  minf.def_zone = 2;
  MsgOpenApi(&minf);
}

int commandLoop() {
  TextOut& out = gwOut();
  std::string line;
  while (gwIn().getline(line, MAX_LINE)) {
    // Handlers see a C string: anything after a NUL byte is not part of it.
    line.resize(std::strlen(line.c_str()));
    // Drop the last character unseen: normally the line feed, but a final
    // line without one, or a piece of an over-long line, loses a real one.
    if (!line.empty()) line.pop_back();
    const char* str = line.c_str();

    if (std::strncmp(str, "EXIT", 4) == 0) {
      out.flush();
      return 0;
    }
    if (std::strncmp(str, "POST", 4) == 0) {
      postArticle(str);
      continue;
    }
    if (std::strncmp(str, "STAT", 4) == 0) {
      groupInfo(str);
      continue;
    }
    if (std::strncmp(str, "HEAD", 4) == 0)
      listHeaders(str);
    else if (std::strncmp(str, "RETR", 4) == 0)
      getArticle(str);
    // HEAD, RETR and anything unrecognised end their reply with one NUL.
    out.put('\0');
    out.flush();
  }
  MsgCloseApi();
  out.flush();
  return 0;
}
