// *.MSG areas written by a third-party tosser, read back message by message
// and compared with what that tosser was given.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fidotext.h"
#include "jsonl.h"
#include "msgapi.h"
#include "sdm_testutil.h"
#include "testutil.h"

namespace {

std::string Addr(const NETADDR& a) {
  std::string s = std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" + std::to_string(a.node);
  return a.point ? s + "." + std::to_string(a.point) : s;
}

std::vector<std::string> Kludges(const std::string& ctrl) {
  std::vector<std::string> out;
  for (std::size_t i = ctrl.find('\x01'); i != std::string::npos;) {
    std::size_t j = ctrl.find('\x01', i + 1);
    out.push_back(ctrl.substr(i + 1, j == std::string::npos ? j : j - i - 1));
    i = j;
  }
  return out;
}

// A name field holds at most its width less one byte.
std::string Field(const std::string& s, std::size_t width) { return s.substr(0, width - 1); }

void CheckArea(const char* sub, const char* expected, bool echo) {
  zt::TempDir tmp;
  const std::string dir = tmp / "area";
  zt::CopyDir(zt::ForeignFixtures() + "/msg/" + sub, dir);
  std::vector<zt::JsonObject> want = zt::ReadJsonLines(zt::ForeignFixtures() + "/" + expected);
  ASSERT_EQ(want.size(), 40u);

  _minf m{};
  m.def_zone = 2;
  MsgOpenApi(&m);
  HAREA ha = MsgOpenArea(dir.c_str(), AOPEN_EXISTING, word(AT_SDM | (echo ? AT_ECHO : 0)));
  ASSERT_NE(ha, nullptr);
  EXPECT_EQ(ha->num_msg, 40u);
  EXPECT_EQ(ha->high_msg, 41u);
  EXPECT_EQ(ha->api->GetHighWater(ha), 0u);  // the tosser left 1.msg free

  for (const zt::JsonObject& w : want) {
    dword n = dword(w.at("i").num) + 1;
    SCOPED_TRACE(testing::Message() << sub << "/" << n << ".msg");
    HMSG msg = ha->api->OpenMsg(ha, MO_READ, n);
    ASSERT_NE(msg, nullptr);
    sdmt::Read r = sdmt::ReadWhole(msg);
    EXPECT_EQ(sdmt::Str(r.x.from), Field(w.at("from").str, 36));
    EXPECT_EQ(sdmt::Str(r.x.to), Field(w.at("to").str, 36));
    EXPECT_EQ(sdmt::Str(r.x.subj), Field(w.at("subj").str, 72));
    EXPECT_EQ(sdmt::Str(r.x.__ftsc_date), w.at("date").str);
    // The tosser keeps zones and points where the stamps would be: the
    // dates come from the text.
    std::string date = w.at("date").str;
    SCOMBO from_text;
    ASCII_Date_To_Binary(date.data(), &from_text);
    EXPECT_EQ(r.x.date_written.ldate, from_text.ldate);
    EXPECT_EQ(r.x.date_arrived.ldate, from_text.ldate);
    if (!echo) {
      EXPECT_EQ(Addr(r.x.orig), w.at("frm_addr").str);
      EXPECT_EQ(Addr(r.x.dest), w.at("to_addr").str);
    }
    EXPECT_EQ(Kludges(r.ctrl), w.at("kludges").list);
    EXPECT_EQ(r.got, r.textlen);
    // Blank lines right after the kludges belong to the kludge prefix.
    std::string body = w.at("body").str;
    body.erase(0, body.find_first_not_of('\r'));
    EXPECT_EQ(r.text.substr(0, body.size()), body);
    // The stored text ends with its NUL, which the text length counts.
    ASSERT_FALSE(r.text.empty());
    EXPECT_EQ(r.text.back(), '\0');
    EXPECT_EQ(ha->api->CloseMsg(msg), 0);
  }
  EXPECT_EQ(ha->api->CloseArea(ha), 0);
  // Reading changes nothing in the area.
  EXPECT_EQ(zt::ListDir(dir), zt::ListDir(zt::ForeignFixtures() + "/msg/" + sub));
}

TEST(SdmForeign, EchoArea) { CheckArea("echo", "expected_echo.jsonl", true); }
TEST(SdmForeign, NetmailArea) { CheckArea("netmail", "expected_net.jsonl", false); }

}  // namespace
