// Writes the seed corpus of the fuzz targets: small valid bases made
// through msglib (packed as the format targets expect), command scripts for
// the gateway session, sample texts for the parsers, and the news
// server's command lines, articles and back-end replies.
//
//   zandrel_fuzz_seeds OUTDIR              (writes OUTDIR/<target>/<seed>)
//   zandrel_fuzz_seeds --unpack INPUT DIR  (a format target's input as files,
//                                           for a regression test or a look)
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "api_sq.h"
#include "container.h"
#include "exercise.h"
#include "msgapi.h"
#include "structrw_jam.h"

namespace fs = std::filesystem;

namespace {

std::string out_dir;

// Paths are put together with path operators: GCC 12 misreports chains of
// string operator+ at -O3 (-Wrestrict).
void Seed(const std::string& target, const std::string& name, const std::string& bytes) {
  fs::path dir = fs::path(out_dir) / target;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

std::string Numbered(char tag, int i) {
  std::string s(1, tag);
  s += std::to_string(i);
  return s;
}

// Makes an area in a scratch directory, lets `fill` post and delete, and
// packs the files the area left (inside `files_in`, when it is a directory).
std::string MakeBase(const char* area, const char* files_in, word type,
                     const std::function<void(HAREA)>& fill) {
  const fs::path dir = fz::MakeScratchDir("seed");
  const std::string path = (dir / area).string();
  HAREA ha = MsgOpenArea(path.c_str(), AOPEN_CREATE, type);
  if (!ha) {
    std::fprintf(stderr, "cannot create %s\n", path.c_str());
    std::exit(1);
  }
  fill(ha);
  ha->api->CloseArea(ha);
  return fz::PackFiles(fz::ReadFiles((dir / files_in).string()));
}

void Posts(HAREA ha, unsigned n) {
  for (unsigned i = 0; i < n; ++i) fz::PostOne(ha, i);
}

void Kill(HAREA ha, dword n) {
  ha->api->Lock(ha);
  ha->api->KillMsg(ha, n);
  ha->api->Unlock(ha);
}

void BaseSeeds(const std::string& target, const char* area, const char* files_in, word echo,
               word net) {
  Seed(target, "empty", MakeBase(area, files_in, echo, [](HAREA) {}));
  Seed(target, "one", MakeBase(area, files_in, echo, [](HAREA ha) { Posts(ha, 1); }));
  Seed(target, "four", MakeBase(area, files_in, echo, [](HAREA ha) { Posts(ha, 4); }));
  Seed(target, "deleted", MakeBase(area, files_in, echo, [](HAREA ha) {
         Posts(ha, 5);
         Kill(ha, 2);
         Kill(ha, 3);
       }));
  Seed(target, "reused", MakeBase(area, files_in, echo, [](HAREA ha) {
         Posts(ha, 4);
         Kill(ha, 1);
         Kill(ha, 2);
         Posts(ha, 1);
       }));
  Seed(target, "netmail", MakeBase(area, files_in, net, [](HAREA ha) { Posts(ha, 3); }));
}

void ParserSeeds() {
  const char* dates[] = {"05 Mar 02  14:07:30", "Tue 05 Mar 02 14:07", "5 Mar 2002 14:07:30",
                         "31 Dec 99  23:59:58", "", "01 Foo 80  00:00:00", "Mon  7 Dec 20 07:06"};
  int i = 0;
  for (const char* d : dates) Seed("dates", Numbered('d', i++), d);
  const char* addrs[] = {"2:5020/52.1", "5020/52", "52", ".3", "52.", "ALL", "2:ALL", "WORLD",
                         "2:5020/52 1:2/3", "2:5020/52@fidonet"};
  i = 0;
  for (const char* a : addrs) Seed("address", Numbered('a', i++), a);
  const char* texts[] = {
      "\x01MSGID: 1:2/3 4\r\x01PID: X\rHello",
      "\r\n\x8d" "AREA:RU.FIDO\r\x01INTL 2:5020/1 2:5020/52\r\x01" "FMPT 1\r\x01TOPT 2\rtext\r",
      "\x01MSGID: 2:5020/52 1a2b3c4d\x01PID: zandrel-1.2\x01REPLY: 2:5020/53 deadbeef",
  };
  i = 0;
  for (const char* t : texts) Seed("ctrlinfo", Numbered('c', i++), t);

  JamChain chain;
  chain.push_back({SF_SENDER, 0, "Node Keeper"});
  chain.push_back({SF_RECEIVER, 0, "All"});
  chain.push_back({SF_SUBJECT, 0, ""});
  chain.push_back({SF_ORIG_ADDR, 0, "2:5020/52.1"});
  chain.push_back({SF_DEST_ADDR, 0, "2:5020/1@fidonet"});
  chain.push_back({SF_MSGID, 0, "2:5020/52.1 1a2b3c4d"});
  chain.push_back({SF_KLUDGE, 0, "Via 2:5020/1 @20200101"});
  chain.push_back({SF_KLUDGE, 0, "CHRS: CP866 2"});
  chain.push_back({SF_SEENBY, 0, "5020/52 53"});
  chain.push_back({SF_PATH, 0, "5020/52"});
  chain.push_back({SF_TZUTC, 0, "0300"});
  Seed("subfields", "chain", encode_subfields(chain, chain_size(chain)));
}

// Command scripts for the session target, whose scratch directory holds the
// areas "$sq", "#jam", "@echo" and "net" with four messages each.
void SessionSeeds() {
  const char* areas[] = {"$sq", "#jam", "@echo", "net"};
  int i = 0;
  for (const char* a : areas) {
    std::string s;
    s += "STAT "; s += a; s += " fido.test\n";
    s += "HEAD "; s += a; s += " x1 2 3 4 5\n";
    s += "RETR "; s += a; s += " 2\n";
    s += "POST "; s += a; s += " 2:5020/52.1 2:5020/1 12\n";
    s += "2:5020/53 1a2b3c4d\nIvan Petrov\nAll\nRe: test\nHello\nWorld\n";
    s += "RETR "; s += a; s += " 5\nNOOP\n";
    s += "HEAD "; s += a; s += " x5\nEXIT\n";
    Seed("session", Numbered('s', i++), s);
  }
  Seed("session", "crlf", "STAT $sq g\r\nHEAD #jam x1\r\nRETR @echo 2\r\n\r\nbogus\r\n");
  Seed("session", "short", "POST $new 1:2/3 4:5/6 0\n\n\n\n\nSTAT $new g\nPOST\nSTAT\nHEAD $sq\nRETR #jam");
  std::string cyr = "POST #jam 2:5020/52 2:5020/1 9\n\n\xcf\xf0\xe8\n\xc2\xf1\xe5\n\xd2\xe5\xec\xe0\n";
  cyr += "\xcf\xf0\xe8\xe2\xe5\xf2\n\x01X\nRETR #jam 5\n";
  Seed("session", "cp1251", cyr);
}


// For the news server's parsers: command streams as readers send them,
// articles as they post them (plain, MIME in its encodings, multipart), and
// the back end's article and overview lines.
void NewsSeeds() {
  const char* commands[] = {
      "ARTICLE <2$3a5020$2f52$2e1$201a2b3c4d@zandrel.exe>",
      "XOVER 1-100",
      "LISTGROUP fido.ru.linux 3-",
      "LIST ACTIVE fido.*,!fido.ru.* fido.su.hardw",
      "NEWNEWS fido.[a-m]?*,\\!x fido.ru.linux 20240101 000000 GMT",
      "HDR Subject 00012-0099",
      "mode\treader  ",
  };
  // Two bytes first: the line limit (odd: the server's) and how the stream
  // is split into reads.
  std::string all("\x01\x00", 2);
  int i = 0;
  for (const char* c : commands) {
    Seed("command", Numbered('c', i++), std::string("\x01\x07", 2) + c + "\r\n");
    all += c;
    all += "\r\n";
  }
  Seed("command", "stream", all + std::string(600, 'x') + "\nDATE\nQUIT\r\n");
  Seed("command", "small", "\x40\x03GROUP fido.test\r\nLISTGROUP\nHELP\r\n");

  const std::string head =
      "From: Ivan Petrov <ivan@example.org>\r\nNewsgroups: fido.ru.linux, fido.test\r\n"
      "Subject: =?utf-8?b?0J/RgNC40LLQtdGC?= again\r\n"
      "References: <a@b> <2$3a5020$2f53$20deadbeef@zandrel.exe>\r\nX-Comment-To: All\r\n";
  Seed("post", "plain", head + "\r\nHello, All!\r\n..dot\r\n");
  Seed("post", "qp-flowed", head +
      "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"windows-1251\"; format=flowed; delsp=yes\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n=CF=F0=E8=E2=E5=F2 \r\n=E2=F1=E5=EC=\r\n!\r\n");
  Seed("post", "multipart", head +
      "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\npreamble\r\n--b1\r\n"
      "Content-Type: multipart/alternative; boundary=b2\r\n\r\n--b2\r\n"
      "Content-Type: text/plain; charset*=koi8-r''x\r\nContent-Transfer-Encoding: base64\r\n\r\n"
      "8NLJ18XU\r\n--b2--\r\n--b1\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n--b1--\r\n");
  Seed("post", "folded", "Newsgroups: g\nFrom: x@y (Name\n\tfolded)\nSubject: s\n  more\n"
       "Control: cancel <a@b>\n\nbody");

  Seed("render", "article", std::string("\x02", 1) +
       "From: Ivan Petrov <Ivan_Petrov@p1.f52.n5020.z2.fidonet.org>\r\nSubject: Re: test\r\n"
       "Date: 07 Mar 2002 09:05:42 +0000\r\n"
       "Message-ID: <2$3a5020$2f52$2e1$201a2b3c4d@zandrel.exe>\r\n"
       "References: <2$3a5020$2f53$20deadbeef@zandrel.exe>\r\nX-Comment-To: All\r\nLines: 2\r\n"
       "X-Kludge: CHRS: CP866 2\r\nX-Kludge: TZUTC: -0300\r\n\r\n\x8f\xe0\xa8\xa2\xa5\xe2!\r\n"
       "> quoted\r\n");
  Seed("render", "overview", std::string("\x01", 1) +
       "12\tRe: test\tIvan Petrov <Ivan_Petrov@p1.f52.n5020.z2.fidonet.org>\t07 Mar 02 09:05:42\t"
       "<2$3a5020$2f52$2e1$201a2b3c4d@zandrel.exe>\t<@zandrel.exe>\t120\t3\t\t\n"
       "13\t\xcf\xf0\xe8\xe2\xe5\xf2\tx\t31 Dec 79 23:59:59\t\t\t0\t0\t\t\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--unpack") == 0) {
    std::ifstream in(argv[2], std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::create_directories(argv[3]);
    fz::WriteFiles(argv[3], fz::UnpackFiles(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                            bytes.size()));
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR | --unpack INPUT DIR\n", argv[0]);
    return 2;
  }
  out_dir = argv[1];
  _minf minf{0, 2, 0};
  MsgOpenApi(&minf);
  BaseSeeds("squish", "a", "", AT_SQUISH | AT_ECHO, AT_SQUISH);
  // Odd sizes open as echo areas in the JAM target, even ones as netmail.
  BaseSeeds("jam", "a", "", AT_JAM | AT_ECHO, AT_JAM);
  BaseSeeds("sdm", "d", "d", AT_SDM | AT_ECHO, AT_SDM);
  {
    std::string limited = MakeBase("a", "", AT_SQUISH | AT_ECHO, [](HAREA ha) {
      SquishSetMaxMsg(ha, 3, 1, 0xFFFFFFFFu);
      Posts(ha, 5);
    });
    Seed("squish", "limited", limited);
  }
  ParserSeeds();
  SessionSeeds();
  NewsSeeds();
  return 0;
}
