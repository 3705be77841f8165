#include "zandrel.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "formats.h"
#include "message.h"
#include "recode.h"
#include "textio.h"

HAREA openArea(const char* p, int write) {
  word type = AT_SDM;  // no prefix: a netmail directory, the whole text is the path
  if (const MsgFormat* f = MsgFormatByPrefix(*p)) {
    type = f->type | AT_ECHO;  // a prefix marks an echo area of its format
    ++p;
  }
  return MsgOpenArea(p, write ? AOPEN_CREATE_IF_MISSING : AOPEN_EXISTING, type);
}

void chomp(char* s) {
  std::size_t n = std::strlen(s);
  while (n > 0 && (s[n - 1] == '\r' || s[n - 1] == '\n')) s[--n] = '\0';
}

void commandFailed(const char* command, const std::string& spec, const char* reason) {
  std::string line = "zandrel: ";
  line += command;
  if (!spec.empty()) {
    line += ' ';
    for (char c : spec) line += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  }
  line += ": ";
  line += reason;
  line += '\n';
  TextOut& err = gwErr();
  err.write(line.data(), line.size());
  err.flush();  // whole lines, each in one write: processes may share the stream
}

bool runOption(const char* arg) {
  TextOut& out = gwOut();
  if (std::strcmp(arg, "--version") == 0) {
    out.puts("zandrel " ZANDREL_VERSION "\n");
  } else if (std::strcmp(arg, "--help") == 0) {
    out.puts(
        "Usage: zandrel [--version | --help]\n"
        "\n"
        "zandrel lets a news front end read and post in FidoNet message areas.\n"
        "It reads one command per line on standard input and answers on standard\n"
        "output:\n"
        "\n"
        "  STAT area group              the group's line of an active file\n"
        "  HEAD area x number ...       overview lines of the messages, then a NUL\n"
        "  RETR area number             the message as a news article, then a NUL\n"
        "  POST area orig dest length   stores the article that follows: reply\n"
        "                               MSGID, from, to and subject lines, then\n"
        "                               `length` characters of text\n"
        "  EXIT                         ends the program, as end of input does\n"
        "\n"
        "An area is $path (a Squish base), #path (a JAM base), @path (a *.MSG echo\n"
        "directory) or a plain path (a *.MSG netmail directory). Text is recoded\n"
        "between code page 866 in the bases and 1251 on the streams.\n"
        "\n"
        "A command that fails answers with nothing (STAT, POST) or an empty reply\n"
        "(HEAD, RETR) and says why in one line on standard error.\n");
  } else {
    return false;
  }
  out.flush();
  return true;
}

void groupInfo(const char* str) {
  std::string spec;
  const char* space = cutAreaSpec(str, spec);
  if (!space) return commandFailed("STAT", spec, BAD_LINE);
  HAREA area = openArea(spec.c_str(), 0);
  if (!area) return commandFailed("STAT", spec, MsgErrorText());
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
