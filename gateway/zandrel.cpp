#include "zandrel.h"

#include <cstring>
#include <string>
#include <string_view>

#include "commands.h"
#include "message.h"
#include "msgapi.h"
#include "textio.h"

namespace {

// The zone that addresses naming none belong to.
constexpr word DEFAULT_ZONE = 2;

constexpr int EXIT_STATUS = 0;

// How the loop ends a command's reply.
enum class Framing {
  // The handler's output as it stands: no terminator and no flush. The
  // output leaves with the next reply that is flushed, or at the end.
  Bare,
  // One NUL after the handler's output, then a flush. The NUL is written
  // whatever the handler did, so a failed command answers with it alone.
  NulEnded,
  // No handler: the loop ends, flushing what is left.
  EndsSession,
};

struct Command {
  std::string_view verb;
  void (*handler)(const char* str);
  Framing framing;
};

// A command is recognised by the first four characters of its line,
// compared with case; the fifth is not looked at.
constexpr std::size_t VERB_LENGTH = 4;

constexpr Command COMMANDS[] = {
    {"EXIT", nullptr, Framing::EndsSession},
    {"POST", postArticle, Framing::Bare},
    {"STAT", groupInfo, Framing::Bare},
    {"HEAD", listHeaders, Framing::NulEnded},
    {"RETR", getArticle, Framing::NulEnded},
};
// Any other line: nothing runs, and the reply is the NUL alone.
constexpr Command UNKNOWN_LINE{"", nullptr, Framing::NulEnded};

const Command& findCommand(std::string_view line) {
  for (const Command& c : COMMANDS)
    if (line.substr(0, VERB_LENGTH) == c.verb) return c;
  return UNKNOWN_LINE;
}

}  // namespace

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

void startUp() {
  _minf minf{};
  minf.req_version = 0;
  minf.def_zone = DEFAULT_ZONE;
  MsgOpenApi(&minf);  // it cannot fail: it only records the settings
}

// EXIT ends the process without closing the message API, which has nothing
// to close; end of input closes it.
int commandLoop() {
  TextOut& out = gwOut();
  std::string line;
  while (gwIn().getline(line, MAX_LINE)) {
    // Handlers see a C string: anything after a NUL byte is not part of it.
    line.resize(std::strlen(line.c_str()));
    // Drop the last character unseen: normally the line feed, but a final
    // line without one, or a piece of an over-long line, loses a real one.
    if (!line.empty()) line.pop_back();

    const Command& command = findCommand(line);
    if (command.framing == Framing::EndsSession) {
      out.flush();
      return EXIT_STATUS;
    }
    if (command.handler) command.handler(line.c_str());
    if (command.framing == Framing::NulEnded) {
      out.put('\0');
      out.flush();
    }
  }
  MsgCloseApi();
  out.flush();
  return EXIT_STATUS;
}
