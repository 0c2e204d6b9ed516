// WIP pages as text: Startup read as a profile, the member's copy of a
// protected page, section removal on hostile pages, and the names clients
// may ask for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/services/wip_page.h"

namespace {

using qn::wip::FilterFormSections;
using qn::wip::ReadStartupSettings;

const std::string kStartup = "[Startup]\r\nW=640\r\nSecType=0\r\nSEC=Members\r\nV=1.1\r\n";

const std::string kPage = kStartup +
                          "[Form]\r\n"
                          "B01=SEC:GOLD,XYZGoldMenu`Gold things\r\n"
                          "B02=SEC:SILVER,XYZSilverMenu`Silver things\r\n"
                          "B03=XYZPublicMenu`Everyone\r\n"
                          "[GoldMenu]\r\n"
                          "G01=ABCGoldSub`Deeper\r\n"
                          "Picture gold.gif\r\n"
                          "[GoldSub]\r\n"
                          "Picture deep.gif\r\n"
                          "[PublicMenu]\r\n"
                          "Picture public.gif\r\n"
                          "[SilverMenu]\r\n"
                          "Picture silver.gif\r\n";

std::string CopyFor(const std::string& page, const std::vector<std::string>& keys) {
  return FilterFormSections(page, ReadStartupSettings(page), keys).value_or("<none>");
}

TEST(WipStartup, ReadAsProfileValues) {
  const std::string page =
      "junk=1\r\n[startup]\r\n  w = 65535 \r\nsectype= 7\r\n[Other]\r\nW=1\r\n[STARTUP]\r\nW=2\r\nSEC=x\r\n";
  // Names without regard to case, values trimmed, the first occurrence wins.
  EXPECT_EQ(qn::wip::ReadProfileValue(page, "Startup", "W"), "65535");
  EXPECT_EQ(qn::wip::ReadProfileValue(page, "STARTUP", "SecType"), "7");
  EXPECT_EQ(qn::wip::ReadProfileValue(page, "Startup", "SEC"), "x");
  EXPECT_EQ(qn::wip::ReadProfileValue(page, "Startup", "junk"), std::nullopt);
  EXPECT_FALSE(ReadStartupSettings(page).isPage);  // 65535: no page

  struct Case {
    std::string startup;
    bool isPage;
    bool isProtected;
  };
  const Case cases[] = {
      {"[Startup]\r\nSecType=0\r\n", false, true},    // no W
      {"[Startup]\r\nW=abc\r\n", true, false},         // atoi: 0
      {"[Startup]\r\nW=12x\r\nSecType=1\r\n", true, false},
      {"[Startup]\r\nW=1\r\nSecType= 0 \r\n", true, true},
      {"[Startup]\r\nW=1\r\nSecType=zero\r\n", true, true},  // atoi: 0
      {"[Startup]\nW=1\nSecType=0\n", true, true},     // LF alone
  };
  for (const Case& c : cases) {
    const qn::wip::Startup s = ReadStartupSettings(c.startup);
    EXPECT_EQ(s.isPage, c.isPage) << c.startup;
    EXPECT_EQ(s.isProtected, c.isProtected) << c.startup;
  }
}

TEST(WipStartup, WhoMaySeeAPage) {
  qn::wip::Startup s = ReadStartupSettings(kPage);
  EXPECT_EQ(s.neededKey, "Members");
  EXPECT_TRUE(qn::wip::IsPageAllowed(s, {"GOLD", "MEMBERS"}));
  EXPECT_FALSE(qn::wip::IsPageAllowed(s, {"GOLD"}));
  EXPECT_FALSE(qn::wip::IsPageAllowed(s, {}));
  // A public page needs no key, whatever its SEC says.
  s = ReadStartupSettings("[Startup]\r\nW=1\r\nSEC=Members\r\n");
  EXPECT_TRUE(qn::wip::IsPageAllowed(s, {}));
  s = ReadStartupSettings("[Startup]\r\nW=1\r\nSecType=0\r\n");
  EXPECT_TRUE(qn::wip::IsPageAllowed(s, {}));
}

TEST(WipCopy, KeyTiedEntriesAndTheSectionsTheyNameFollowTheMembersKeys) {
  const std::string head = kStartup + "[Form]\r\n";
  EXPECT_EQ(CopyFor(kPage, {"GOLD", "MEMBERS"}),
            head +
                "B01=XYZGoldMenu`Gold things\r\n"
                "B03=XYZPublicMenu`Everyone\r\n"
                "[GoldMenu]\r\nG01=ABCGoldSub`Deeper\r\nPicture gold.gif\r\n"
                "[GoldSub]\r\nPicture deep.gif\r\n"
                "[PublicMenu]\r\nPicture public.gif");  // the last section went with its line break
  EXPECT_EQ(CopyFor(kPage, {"MEMBERS", "SILVER"}),
            head +
                "B02=XYZSilverMenu`Silver things\r\n"
                "B03=XYZPublicMenu`Everyone\r\n"
                "[PublicMenu]\r\nPicture public.gif\r\n"
                "[SilverMenu]\r\nPicture silver.gif\r\n");
  // Key names compare exactly with the member's upper-case names.
  EXPECT_EQ(CopyFor(kPage, {"gold", "MEMBERS"}), CopyFor(kPage, {"MEMBERS"}));
  EXPECT_EQ(CopyFor(kPage, {"MEMBERS"}),
            head + "B03=XYZPublicMenu`Everyone\r\n[PublicMenu]\r\nPicture public.gif");

  // A public page is copied as it is; a protected one only in version 1.1.
  std::string publicPage = kPage;
  publicPage.replace(publicPage.find("SecType=0"), 9, "SecType=1");
  EXPECT_EQ(CopyFor(publicPage, {}), publicPage);
  for (const char* version : {"1.0", "", "1.1000002", "abc"}) {
    std::string page = kPage;
    page.replace(page.find("V=1.1"), 5, std::string("V=") + version);
    EXPECT_EQ(CopyFor(page, {"MEMBERS"}), "<none>") << version;
  }
  for (const char* version : {"1.10", " 1.1 ", "1.1000001", "1.1abc"}) {
    std::string page = kPage;
    page.replace(page.find("V=1.1"), 5, std::string("V=") + version);
    EXPECT_NE(CopyFor(page, {"MEMBERS"}), "<none>") << version;
  }
  // Without "[Form]" CR LF a protected page is copied unchanged.
  const std::string noForm = kStartup + "[form]\r\nB01=SEC:GOLD,XYZGoldMenu`x\r\n[GoldMenu]\r\n";
  EXPECT_EQ(CopyFor(noForm, {}), noForm);
}

TEST(WipCopy, SectionRemovalFollowsChainsAndEndsOnCircles) {
  std::string text = "[A]\r\nX01=...B`\r\n[B]\r\nX01=...A`\r\nX02=...C`\r\n[C]\r\nabc\r\n[D]\r\nd\r\n";
  qn::wip::RemoveSection(text, "A");
  EXPECT_EQ(text, "[D]\r\nd\r\n");

  // A chain long enough to overflow a recursive walk.
  std::string chain;
  constexpr int kLinks = 200000;
  for (int i = 0; i < kLinks; ++i)
    chain += "[S" + std::to_string(i) + "]\r\nX01=...S" + std::to_string(i + 1) + "`\r\n";
  chain += "[Keep]\r\nk\r\n";
  qn::wip::RemoveSection(chain, "S0");
  EXPECT_EQ(chain, "[Keep]\r\nk\r\n");

  // A header must stand at the start of a line.
  text = "Y01=...[E]\r\nz\r\n[E]\r\ne\r\n";
  qn::wip::RemoveSection(text, "E");
  EXPECT_EQ(text, "Y01=...[E]\r\nz");
}

TEST(WipCopy, MalformedPagesStayInsideTheirText) {
  const std::string head = kStartup + "[Form]\r\n";
  const std::string tails[] = {
      "A=SEC:",
      "ABC=SEC:K",
      "ABC=SEC:KEY,XY",
      "ABC=SEC:KEY,XYZsect",
      "=SEC:KEY,XYZs`\r\n[s]\r\n",
      "ABC=SEC:KEY\r\nDEF=GHI,JKLsect`\r\n[sect]\r\nAB\r\nABC=\r\nABC=DEF\r\n=\r\nABC=DEFG",
      "ABC=SEC:KEY,XYZS`\r\n[S]",
      "ABC=SEC:KEY,XYZS`\r\n[S]\r\n",
      "ABC=SEC:,\r\n=SEC:=SEC:",
  };
  for (const std::string& tail : tails) {
    for (const std::vector<std::string>& keys :
         {std::vector<std::string>{}, {"KEY"}, {"K"}, {"KE"}, {""}}) {
      const std::string copy = CopyFor(head + tail, keys);
      EXPECT_NE(copy, "<none>") << tail;
      // Nothing before the form is touched but the line break above a last
      // section that went.
      EXPECT_EQ(copy.rfind(kStartup + "[Form]", 0), 0u) << tail;
    }
  }
  // The key without a comma anywhere is the two characters after the colon.
  EXPECT_EQ(CopyFor(head + "ABC=SEC:KEYZsect`x", {"KE"}), head + "ABC=YZsect`x");
  EXPECT_EQ(CopyFor(head + "ABC=SEC:KEYZsect`x\r\nNext\r\n", {}), head + "Next\r\n");
}

TEST(WipNames, PagesAndResourcesStayInTheirFolder) {
  for (const char* good : {"MENU.WIP", "sub\\menu.wip", "sub/menu.wip", "a..b", "...", "x\\.\\y"})
    EXPECT_TRUE(qn::wip::IsNameInsideFolder(good)) << good;
  for (const char* bad : {"", "\\etc\\passwd", "/etc/passwd", "C:\\WIP\\x", "c:x", "\\\\srv\\share\\x",
                          "..", "..\\QNACCOUN.MDB", "sub/../../x", "sub\\..", "../x"})
    EXPECT_FALSE(qn::wip::IsNameInsideFolder(bad)) << bad;
}

TEST(WipNames, AResourceIsNamedWhereItsNameEndsALine) {
  const std::string copy = "Picture Gold.GIF\r\nicon.gif is here\r\nX=big.png\r\n";
  EXPECT_TRUE(qn::wip::NamesResource(copy, "gold.gif"));
  EXPECT_TRUE(qn::wip::NamesResource(copy, "BIG.PNG"));
  EXPECT_TRUE(qn::wip::NamesResource(copy, "g.png"));  // a line's end, as the name ends it
  EXPECT_FALSE(qn::wip::NamesResource(copy, "icon.gif"));
  EXPECT_FALSE(qn::wip::NamesResource("last.gif", "last.gif"));
}

}  // namespace
