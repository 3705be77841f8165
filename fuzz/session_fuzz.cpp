// The gateway's command loop in-process: the input is everything a front end
// could write on standard input, run against a scratch directory that holds
// one small area of each kind, named as the seed scripts name them: "$sq"
// (Squish), "#jam" (JAM), "@echo" (*.MSG echo) and "net" (*.MSG netmail).
// The areas are restored from pristine copies before every input, so runs
// are independent and POSTs do not grow them without bound. Replies and
// diagnostics go to /dev/null; a crash, hang or sanitizer report is what
// counts. The target changes into its scratch directory: give it corpus and
// artifact paths that are absolute (scripts/fuzz.sh does).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "container.h"
#include "exercise.h"
#include "textio.h"
#include "zandrel.h"

namespace {

struct Scratch {
  std::string pristine, work;
  int in = -1, out = -1;
};

void MakeArea(const std::string& path, word type, unsigned posts) {
  HAREA ha = MsgOpenArea(path.c_str(), AOPEN_CREATE, type);
  if (!ha) return;  // a format that cannot make areas yet is left out
  for (unsigned i = 0; i < posts; ++i) fz::PostOne(ha, i);
  ha->api->CloseArea(ha);
}

const Scratch& Setup() {
  static Scratch* s = [] {
    auto* s = new Scratch;
    startUp();
    s->pristine = fz::MakeScratchDir("session-pristine");
    s->work = fz::MakeScratchDir("session");
    MakeArea(s->pristine + "/sq", AT_SQUISH | AT_ECHO, 4);
    MakeArea(s->pristine + "/jam", AT_JAM | AT_ECHO, 4);
    MakeArea(s->pristine + "/echo", AT_SDM | AT_ECHO, 4);
    MakeArea(s->pristine + "/net", AT_SDM, 4);
    // Relative area specs in the inputs resolve inside the work directory.
    if (::chdir(s->work.c_str()) != 0) std::abort();
    s->in = ::memfd_create("session-input", 0);
    s->out = ::open("/dev/null", O_WRONLY);
    if (s->in < 0 || s->out < 0) std::abort();
    return s;
  }();
  return *s;
}

// The commands may name any path, and POST creates what it names. Area specs
// that start at the root ("/x", "$/x") and every ".." are bent back inside
// the scratch directory, wherever a command word could begin (after a POST
// text the next command starts mid-line).
void Confine(std::string& in) {
  for (std::size_t i = 0; i + 1 < in.size(); ++i)
    if (in[i] == '.' && in[i + 1] == '.') in[i + 1] = '_';
  for (std::size_t i = 0; i + 4 < in.size(); ++i) {
    const char* c = in.c_str() + i;
    if (std::strncmp(c, "POST", 4) && std::strncmp(c, "STAT", 4) && std::strncmp(c, "HEAD", 4) &&
        std::strncmp(c, "RETR", 4))
      continue;
    std::size_t spec = i + 5;
    if (spec < in.size() && (in[spec] == '$' || in[spec] == '#' || in[spec] == '@')) ++spec;
    if (spec < in.size() && in[spec] == '/') in[spec] = '_';
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  const Scratch& s = Setup();
  fz::ClearDir(s.work);
  fz::CopyTree(s.pristine, s.work);

  std::string input(reinterpret_cast<const char*>(data), size);
  Confine(input);
  if (::ftruncate(s.in, 0) != 0 || ::lseek(s.in, 0, SEEK_SET) != 0 ||
      ::write(s.in, input.data(), input.size()) != ssize_t(input.size()) ||
      ::lseek(s.in, 0, SEEK_SET) != 0)
    std::abort();

  auto in = std::make_unique<TextIn>(s.in);
  auto out = std::make_unique<TextOut>(s.out);
  auto err = std::make_unique<TextOut>(s.out);
  gwRedirect(in.get(), out.get());
  gwRedirectErr(err.get());
  commandLoop();
  out->flush();
  gwRedirect(nullptr, nullptr);
  gwRedirectErr(nullptr);
  return 0;
}
