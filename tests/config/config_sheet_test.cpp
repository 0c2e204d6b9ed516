// The configuration editor's sheet on fakes: what a load shows of missing,
// mistyped and out-of-range values; the advertisement list's stored form,
// selection and buttons after every action; each refusal; and saves as sets
// of changes that leave alone what the sheet did not change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/config_fakes.h"
#include "tools/config/core/config_texts.h"
#include "tools/config/core/prop_sheet.h"

namespace qn::config::test {
namespace {

using reg::MakeDword;
using reg::MakeString;
using reg::Value;

Value Bytes(const std::string& name, uint32_t type, std::vector<uint8_t> data) { return Value{name, type, std::move(data)}; }

class ConfigSheet : public ::testing::Test {
 protected:
  // A sheet on what the store holds now.
  CMyPropSheet& Open() {
    sheet_ = std::make_unique<CMyPropSheet>(store_, view_);
    sheet_->Load();
    return *sheet_;
  }
  std::vector<std::string> Lines() { return sheet_->Adv().Lines(); }

  FakeStore store_;
  FakeView view_;
  std::unique_ptr<CMyPropSheet> sheet_;
};

TEST_F(ConfigSheet, LoadShowsWhatTheServerWouldReadAndDefaultsForTheRest) {
  struct Case {
    const char* name;
    std::vector<Value> smtp, advertise, wip;
    std::string relay, primary, other, maxConnections;
    std::vector<std::string> lines;
    bool loop, audit;
  };
  const Case cases[] = {
      {"nothing stored: the server's defaults (MaxConnections 10)", {}, {}, {}, "", "", "", "10", {}, false, false},
      {"all set",
       {MakeString("MailRelayAddress", "relay.example"), MakeString("PrimaryDomainName", "q.example"),
        MakeString("additionaldomainnames", "a.example b.example"), MakeDword("MaxConnections", 25)},
       {MakeString("00", "Paint~Brenlo~60"), MakeDword("Loop", 1), MakeString("01", "Chess~Games~5")},
       {MakeDword("AuditDownloads", 1)},
       "relay.example", "q.example", "a.example b.example", "25", {"Paint\tBrenlo\t60", "Chess\tGames\t5"}, true, true},
      {"mistyped values read as defaults",
       {MakeDword("MailRelayAddress", 7), MakeString("MaxConnections", "5"),
        Bytes("PrimaryDomainName", reg::kBinary, {'a', 'b', 0})},
       {MakeString("Loop", "1")},
       {MakeString("AuditDownloads", "1")},
       "", "", "", "10", {}, false, false},
      {"a number of the wrong size reads as the default",
       {Bytes("MaxConnections", reg::kDword, {5, 0})}, {Bytes("Loop", reg::kDword, {1, 0, 0, 0, 0})}, {},
       "", "", "", "10", {}, false, false},
      {"out-of-range numbers show as stored; the server audits only with 1",
       {MakeDword("MaxConnections", 0xFFFFFFFF)}, {MakeDword("Loop", 7)}, {MakeDword("AuditDownloads", 2)},
       "", "", "", "-1", {}, true, false},
      {"zero and 500", {MakeDword("MaxConnections", 0)}, {}, {}, "", "", "", "0", {}, false, false},
      {"entries in file order, malformed ones as they are, too long ones skipped as the server skips them",
       {},
       {MakeString("07", "Late~V~1"), MakeString("not an entry", "no tildes"), MakeDword("Loop", 0),
        MakeString(std::string(200, 'n'), "A~B~1"), MakeString("02", std::string(200, 'd')),
        MakeString("03", std::string(199, 'd')), MakeString("loop", "Lower~Case~3")},
       {},
       "", "", "", "10", {"Late\tV\t1", "no tildes", std::string(199, 'd'), "Lower\tCase\t3"}, false, false},
  };
  for (const Case& c : cases) {
    store_.sections = {{"SMTP", c.smtp}, {"Advertise", c.advertise}, {"WIP Server", c.wip}};
    CMyPropSheet& sheet = Open();
    EXPECT_EQ(sheet.Smtp().Text(CPPSMTP::kRelay), c.relay) << c.name;
    EXPECT_EQ(sheet.Smtp().Text(CPPSMTP::kPrimary), c.primary) << c.name;
    EXPECT_EQ(sheet.Smtp().Text(CPPSMTP::kOtherDomains), c.other) << c.name;
    EXPECT_EQ(sheet.Smtp().Text(CPPSMTP::kMaxConnections), c.maxConnections) << c.name;
    EXPECT_EQ(Lines(), c.lines) << c.name;
    EXPECT_EQ(sheet.Adv().Loop(), c.loop) << c.name;
    EXPECT_EQ(sheet.Wip().Audit(), c.audit) << c.name;
    // Whatever was stored, a sheet closed with OK and no edits writes nothing.
    sheet.OnOK();
    EXPECT_TRUE(store_.saves.empty()) << c.name;
  }
}

TEST_F(ConfigSheet, SelectionAndButtonsFollowEveryAction) {
  CMyPropSheet& sheet = Open();
  CPPAdv& adv = sheet.Adv();
  struct Expect {
    std::vector<std::string> lines;
    int selection;
    CPPAdv::ButtonStates buttons;  // remove, up, down
  };
  auto check = [&](const char* step, const Expect& e) {
    EXPECT_EQ(adv.Lines(), e.lines) << step;
    EXPECT_EQ(adv.Selection(), e.selection) << step;
    EXPECT_EQ(adv.Buttons(), e.buttons) << step;
  };
  check("empty", {{}, -1, {false, false, false}});
  view_.WillCancelAdd();
  adv.OnAdd(view_);
  check("add cancelled", {{}, -1, {false, false, false}});
  view_.WillAdd("A", "Va", "60");
  adv.OnAdd(view_);
  check("the first line is selected", {{"A\tVa\t60"}, 0, {true, false, false}});
  view_.WillAdd("B", "Vb", "5");
  adv.OnAdd(view_);
  check("a second line, the selection stays", {{"A\tVa\t60", "B\tVb\t5"}, 0, {true, false, true}});
  view_.WillAdd("C", "Vc", "0");
  adv.OnAdd(view_);
  adv.OnSelChange(2);
  check("the last selected", {{"A\tVa\t60", "B\tVb\t5", "C\tVc\t0"}, 2, {true, true, false}});
  adv.OnMoveDown();
  check("down from the last does nothing", {{"A\tVa\t60", "B\tVb\t5", "C\tVc\t0"}, 2, {true, true, false}});
  adv.OnMoveUp();
  check("moved up, still selected", {{"A\tVa\t60", "C\tVc\t0", "B\tVb\t5"}, 1, {true, true, true}});
  adv.OnMoveUp();
  adv.OnMoveUp();
  check("up from the first does nothing", {{"C\tVc\t0", "A\tVa\t60", "B\tVb\t5"}, 0, {true, false, true}});
  adv.OnSelChange(-1);
  check("no selection", {{"C\tVc\t0", "A\tVa\t60", "B\tVb\t5"}, -1, {false, false, false}});
  adv.OnRemove(view_);
  EXPECT_TRUE(view_.boxes.empty()) << "nothing selected, nothing asked";

  adv.OnSelChange(1);
  view_.answers = {IDNO};
  adv.OnRemove(view_);
  ASSERT_EQ(view_.boxes.size(), 1u);
  EXPECT_EQ(view_.boxes[0].text, "Are you sure you want to remove the \"A\" Advertisement?");
  EXPECT_EQ(view_.boxes[0].buttons, Buttons::YesNo);
  EXPECT_EQ(view_.boxes[0].icon, Icon::Stop);
  check("No keeps the line, the one before is selected", {{"C\tVc\t0", "A\tVa\t60", "B\tVb\t5"}, 0, {true, false, true}});
  adv.OnRemove(view_);
  check("the first removed: nothing selected", {{"A\tVa\t60", "B\tVb\t5"}, -1, {false, false, false}});
  adv.OnSelChange(1);
  adv.OnRemove(view_);
  check("one left, selected", {{"A\tVa\t60"}, 0, {true, false, false}});
  adv.OnRemove(view_);
  check("none left", {{}, -1, {false, false, false}});
  adv.OnSelChange(0);
  check("a selection past the end is none", {{}, -1, {false, false, false}});

  // Two lines loaded: the first selected.
  store_.sections["Advertise"] = {MakeString("00", "X~V~1"), MakeString("01", "Y~V~1")};
  Open();
  EXPECT_EQ(sheet_->Adv().Selection(), 0);
  EXPECT_EQ(sheet_->Adv().Buttons(), (CPPAdv::ButtonStates{true, false, true}));
}

TEST_F(ConfigSheet, TheListIsStoredRenumberedInListOrderAndLoopIsKept) {
  store_.sections["Advertise"] = {MakeString("07", "Old~V~5"), MakeDword("Loop", 1), MakeString("3", "Older~V~9"),
                                  MakeString("junk", "no tildes")};
  CMyPropSheet& sheet = Open();
  view_.WillAdd("New App", "Vendor Inc", "30000");
  sheet.Adv().OnAdd(view_);
  sheet.Adv().OnSelChange(3);
  sheet.Adv().OnMoveUp();
  sheet.OnApply();
  ASSERT_EQ(store_.saves.size(), 1u);
  EXPECT_EQ(store_.Names("Advertise"), (std::vector<std::string>{"Loop", "00", "01", "02", "03"}));
  EXPECT_EQ(store_.Get("Advertise", "00"), "Old~V~5");
  EXPECT_EQ(store_.Get("Advertise", "01"), "Older~V~9");
  EXPECT_EQ(store_.Get("Advertise", "02"), "New App~Vendor Inc~30000");
  EXPECT_EQ(store_.Get("Advertise", "03"), "no tildes");
  EXPECT_EQ(store_.Get("Advertise", "Loop"), "dword:1");

  // Loop alone is one value; the list stays as it is.
  sheet.Adv().SetLoop(false);
  sheet.OnApply();
  ASSERT_EQ(store_.saves.size(), 2u);
  ASSERT_EQ(store_.saves[1].size(), 1u);
  EXPECT_FALSE(store_.saves[1][0].replace);
  EXPECT_EQ(store_.Get("Advertise", "Loop"), "dword:0");

  // Removing every line leaves "Loop" alone.
  for (int i = 0; i < 4; ++i) {
    sheet.Adv().OnSelChange(0);
    sheet.Adv().OnRemove(view_);
  }
  sheet.OnApply();
  EXPECT_EQ(store_.Names("Advertise"), (std::vector<std::string>{"Loop"}));
}

TEST_F(ConfigSheet, RefusalsShowTheirTextFocusTheFieldAndWriteNothing) {
  struct Case {
    const char* name;
    int control;
    std::string typed;
    std::string message;
  };
  const Case cases[] = {
      {"not a number", CPPSMTP::kMaxConnections, "ten", "Please enter an integer."},
      {"a number and more", CPPSMTP::kMaxConnections, "5x", "Please enter an integer."},
      {"below the range", CPPSMTP::kMaxConnections, "0", "Please enter an integer between 1 and 100."},
      {"above the range", CPPSMTP::kMaxConnections, "101", "Please enter an integer between 1 and 100."},
      {"beyond 32 bits", CPPSMTP::kMaxConnections, "4294967297", "Please enter an integer between 1 and 100."},
      {"a control character", CPPSMTP::kRelay, "relay\x01.example",
       "The Mail Relay Address may not contain control characters."},
      {"a line break", CPPSMTP::kPrimary, "q.example\r\nx",
       "The Primary (exposed) Domain Name may not contain control characters."},
      {"a name too long", CPPSMTP::kPrimary, std::string(254, 'q'),
       "The Primary (exposed) Domain Name holds a name of more than 253 characters, longer than any host or "
       "domain name."},
      {"a domain too long", CPPSMTP::kOtherDomains, "a.example " + std::string(254, 'b'),
       "The Other Local Domains holds a name of more than 253 characters, longer than any host or domain name."},
      {"a blank before a comma", CPPSMTP::kOtherDomains, "a.example ,b.example c.example",
       "The server would ignore \"b.example\" and every domain after it: its list of Other Local Domains ends "
       "at a comma that follows a blank, a tab or another comma. Separate the domains by commas or by blanks "
       "alone."},
      {"two commas", CPPSMTP::kOtherDomains, "a.example,,c.example", "The server would ignore \"c.example\""},
      {"a leading comma", CPPSMTP::kOtherDomains, " ,a.example", "The server would ignore \"a.example\""},
  };
  for (const Case& c : cases) {
    view_ = FakeView{};
    CMyPropSheet& sheet = Open();
    sheet.Wip().SetAudit(true);
    sheet.Smtp().SetText(c.control, c.typed);
    sheet.OnOK();
    ASSERT_EQ(view_.boxes.size(), 1u) << c.name;
    EXPECT_EQ(view_.boxes[0].text.substr(0, c.message.size()), c.message) << c.name;
    EXPECT_EQ(view_.boxes[0].icon, Icon::Exclamation) << c.name;
    EXPECT_EQ(view_.focused, std::vector<int>{c.control}) << c.name;
    EXPECT_FALSE(view_.ended) << c.name;
    EXPECT_TRUE(store_.saves.empty()) << c.name;
  }

  // What passes: blanks around a number, the range's ends, domains by
  // blanks, by commas, or by a comma and blanks after it.
  for (const char* typed : {" 7 ", "1", "100", "+3"}) {
    view_ = FakeView{};
    Open().Smtp().SetText(CPPSMTP::kMaxConnections, typed);
    sheet_->OnApply();
    EXPECT_TRUE(view_.boxes.empty()) << typed;
  }
  for (const char* typed : {"a.example b.example", "a.example,b.example", "a.example, b.example,", ""}) {
    view_ = FakeView{};
    Open().Smtp().SetText(CPPSMTP::kOtherDomains, typed);
    sheet_->OnApply();
    EXPECT_TRUE(view_.boxes.empty()) << typed;
  }

  // A stored value the sheet would refuse is not checked until edited.
  store_.sections["SMTP"] = {MakeDword("MaxConnections", 500), MakeString("MailRelayAddress", "two\nlines")};
  store_.saves.clear();
  view_ = FakeView{};
  Open().Wip().SetAudit(false);
  sheet_->Smtp().SetText(CPPSMTP::kPrimary, "q.example");
  sheet_->OnOK();
  EXPECT_TRUE(view_.boxes.size() == 1u && view_.boxes[0].text == texts::kRestartNotice);
  EXPECT_EQ(store_.Get("SMTP", "MaxConnections"), "dword:500");
  EXPECT_EQ(store_.Get("SMTP", "MailRelayAddress"), "two\nlines");
}

TEST_F(ConfigSheet, TheAddDialogRefusesWhatTheServerWouldMisread) {
  struct Case {
    std::string application, vendor, seconds;
    int focus;  // 0: accepted
    std::string message;
  };
  const std::string names = "The Application and Vendor names may not contain \"~\", tabs or control characters.";
  const Case cases[] = {
      {"Paint", "Brenlo", "60", 0, ""},
      {"Paint", "", "0", 0, ""},
      {"Paint", "Brenlo", "30000", 0, ""},
      {"Pa~int", "Brenlo", "60", CAddAdvDlg::kApplication, names},
      {"Paint", "Bren~lo", "60", CAddAdvDlg::kVendor, names},
      {"Paint", "Bren\tlo", "60", CAddAdvDlg::kVendor, names},
      {"Pa\x7fint", "Brenlo", "60", CAddAdvDlg::kApplication, names},
      {"Paint", "Brenlo", "", CAddAdvDlg::kSeconds, "Please enter an integer."},
      {"Paint", "Brenlo", "-1", CAddAdvDlg::kSeconds, "Please enter an integer between 0 and 30000."},
      {"Paint", "Brenlo", "30001", CAddAdvDlg::kSeconds, "Please enter an integer between 0 and 30000."},
      // 190 + TAB + 5 + TAB + 2 = 199 bytes fit the list's buffer; one more
      // does not.
      {std::string(190, 'a'), "Venda", "60", 0, ""},
      {std::string(191, 'a'), "Venda", "60", CAddAdvDlg::kApplication, texts::kAdvLineTooLong},
  };
  for (const Case& c : cases) {
    FakeView view;
    CAddAdvDlg dialog;
    EXPECT_EQ(dialog.m_strSeconds, "60");
    dialog.m_strApplication = c.application;
    dialog.m_strVendor = c.vendor;
    dialog.m_strSeconds = c.seconds;
    const bool accepted = dialog.OnOK(view);
    EXPECT_EQ(accepted, c.focus == 0) << c.application << "/" << c.vendor << "/" << c.seconds;
    if (c.focus == 0) {
      EXPECT_TRUE(view.boxes.empty());
      EXPECT_EQ(dialog.Line(), c.application + "\t" + c.vendor + "\t" + c.seconds);
      continue;
    }
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, c.message);
    EXPECT_EQ(view.focused, std::vector<int>{c.focus});
  }
}

TEST_F(ConfigSheet, ArrowsStepWithinTheirRangeFromWhateverIsTyped) {
  struct Case {
    std::string typed;
    int delta;
    std::string connections;  // 1 to 100
    std::string seconds;      // 0 to 30000
  };
  const Case cases[] = {
      {"60", +1, "61", "61"},         {"1", -1, "1", "0"},   {"0", -1, "1", "0"},
      {"500", +1, "100", "501"},      {"-1", +1, "1", "0"},  {"abc", +1, "2", "1"},
      {"30000", +1, "100", "30000"},  {"", -1, "1", "0"},
  };
  for (const Case& c : cases) {
    CMyPropSheet& sheet = Open();
    sheet.Smtp().SetText(CPPSMTP::kMaxConnections, c.typed);
    sheet.Smtp().Step(c.delta);
    EXPECT_EQ(sheet.Smtp().Text(CPPSMTP::kMaxConnections), c.connections) << c.typed << " " << c.delta;
    CAddAdvDlg dialog;
    dialog.m_strSeconds = c.typed;
    dialog.Step(c.delta);
    EXPECT_EQ(dialog.m_strSeconds, c.seconds) << c.typed << " " << c.delta;
  }
  // An arrow is an edit: 10 (the default shown) stepped to 11 is written.
  CMyPropSheet& sheet = Open();
  sheet.Smtp().Step(+1);
  sheet.OnOK();
  EXPECT_EQ(store_.Get("SMTP", "MaxConnections"), "dword:11");
}

TEST_F(ConfigSheet, ASaveWritesOnlyWhatThisSheetChanged) {
  store_.sections["SMTP"] = {MakeString("MailRelayAddress", "old.relay"), MakeDword("Port", 2525),
                             MakeDword("MailRelayPort", 2526)};
  store_.sections["Advertise"] = {MakeString("00", "A~V~5"), MakeDword("Loop", 0)};

  // An unchanged OK and a Cancel after edits write nothing; both show the
  // notice.
  for (bool ok : {false, true}) {
    view_ = FakeView{};
    CMyPropSheet& sheet = Open();
    if (ok) {
      sheet.OnOK();
    } else {
      sheet.Smtp().SetText(CPPSMTP::kRelay, "new.relay");
      sheet.Wip().SetAudit(true);
      sheet.OnCancel();
    }
    EXPECT_EQ(view_.ended, ok ? IDOK : IDCANCEL);
    ASSERT_EQ(view_.boxes.size(), 1u);
    EXPECT_EQ(view_.boxes[0].text,
              "Any configuration changes will not take effect until the next time you re-start the Quillnet Server.");
    EXPECT_EQ(view_.boxes[0].icon, Icon::Information);
    EXPECT_TRUE(store_.saves.empty());
  }

  // Another program writes meanwhile: what the sheet did not change stays
  // as that program left it; what both changed takes the sheet's value.
  view_ = FakeView{};
  CMyPropSheet& sheet = Open();
  sheet.Smtp().SetText(CPPSMTP::kRelay, "new.relay");
  sheet.Smtp().SetText(CPPSMTP::kPrimary, "mine.example");
  sheet.Smtp().SetText(CPPSMTP::kOtherDomains, "");  // edited, yet as stored: not written
  view_.WillAdd("B", "W", "10");
  sheet.Adv().OnAdd(view_);
  store_.sections["SMTP"].push_back(MakeString("PrimaryDomainName", "theirs.example"));
  store_.sections["SMTP"].push_back(MakeDword("MaxConnections", 3));
  store_.sections["Advertise"] = {MakeString("00", "Theirs~V~5"), MakeDword("Loop", 1)};
  store_.sections["WIP Server"] = {MakeDword("AuditDownloads", 1)};
  sheet.OnApply();
  ASSERT_EQ(store_.saves.size(), 1u);
  const auto& writes = store_.saves[0];
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].section, "SMTP");
  ASSERT_EQ(writes[0].values.size(), 2u);
  EXPECT_EQ(writes[0].values[0].name, "PrimaryDomainName");
  EXPECT_EQ(writes[0].values[1].name, "MailRelayAddress");
  EXPECT_EQ(writes[1].section, "Advertise");
  EXPECT_EQ(store_.Get("SMTP", "MailRelayAddress"), "new.relay");
  EXPECT_EQ(store_.Get("SMTP", "PrimaryDomainName"), "mine.example");
  EXPECT_EQ(store_.Get("SMTP", "MaxConnections"), "dword:3");
  EXPECT_EQ(store_.Get("SMTP", "Port"), "dword:2525");
  EXPECT_EQ(store_.Get("SMTP", "MailRelayPort"), "dword:2526");
  EXPECT_EQ(store_.Names("Advertise"), (std::vector<std::string>{"Loop", "00", "01"}));
  EXPECT_EQ(store_.Get("Advertise", "01"), "B~W~10");
  EXPECT_EQ(store_.Get("Advertise", "Loop"), "dword:1");
  EXPECT_EQ(store_.Get("WIP Server", "AuditDownloads"), "dword:1");
  EXPECT_FALSE(view_.ended) << "Apply keeps the sheet open";
  EXPECT_TRUE(view_.boxes.empty());

  // After Apply only later changes are written; a failed write changes
  // nothing, says why and keeps the sheet open, and the next save retries.
  sheet.Wip().SetAudit(true);
  store_.failWith = "/x/registry.reg cannot be read or written by this account";
  sheet.OnOK();
  EXPECT_FALSE(view_.ended);
  ASSERT_EQ(view_.boxes.size(), 1u);
  EXPECT_EQ(view_.boxes[0].text,
            "The configuration could not be saved: /x/registry.reg cannot be read or written by this account.");
  EXPECT_EQ(view_.boxes[0].icon, Icon::Stop);
  EXPECT_EQ(store_.Get("WIP Server", "AuditDownloads"), "dword:1");
  store_.failWith.reset();
  store_.sections["WIP Server"].clear();
  sheet.OnOK();
  ASSERT_EQ(store_.saves.size(), 3u);
  ASSERT_EQ(store_.saves[2].size(), 1u);
  EXPECT_EQ(store_.saves[2][0].section, "WIP Server");
  EXPECT_EQ(store_.Get("WIP Server", "AuditDownloads"), "dword:1");
  EXPECT_EQ(view_.ended, IDOK);
}

}  // namespace
}  // namespace qn::config::test
