// The editor's sheet on the registry file of a private root: no file, a
// file not in the format, a file closed to the account, odd stored texts
// that a save of other values leaves byte for byte, and a thousand
// advertisements.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <list>
#include <sstream>

#include "common/registry.h"
#include "support/config_fakes.h"
#include "support/scoped_root.h"
#include "tools/config/core/prop_sheet.h"
#include "tools/config/core/registry_settings.h"

namespace qn::config::test {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class RegistrySheet : public ::testing::Test {
 protected:
  CMyPropSheet& Open() {
    view_ = FakeView{};
    sheet_ = std::make_unique<CMyPropSheet>(settings_, view_);
    sheet_->Load();
    return *sheet_;
  }
  // The text of the one message box a failed save showed, else "".
  std::string RefusedSave() {
    for (const ShownBox& box : view_.boxes)
      if (box.text.rfind("The configuration could not be saved: ", 0) == 0) return box.text;
    return "";
  }

  qn::test::ScopedRoot root_;
  RegistrySettings settings_;
  FakeView view_;
  std::unique_ptr<CMyPropSheet> sheet_;
};

TEST_F(RegistrySheet, WithoutAFileDefaultsShowAndTheFirstSaveCreatesIt) {
  CMyPropSheet& sheet = Open();
  EXPECT_EQ(sheet.Smtp().Text(CPPSMTP::kMaxConnections), "10");
  sheet.Smtp().SetText(CPPSMTP::kRelay, "relay.example");
  sheet.OnCancel();
  EXPECT_FALSE(fs::exists(root_.RegistryFile())) << "loading and Cancel create nothing";

  Open().Smtp().SetText(CPPSMTP::kRelay, "relay.example");
  sheet_->Adv().SetLoop(true);
  sheet_->OnOK();
  EXPECT_EQ(view_.ended, IDOK);
  CQuillnetRegistry registry;
  EXPECT_EQ(registry.ReadString("SMTP", "MailRelayAddress", ""), "relay.example");
  EXPECT_EQ(registry.ReadDWORD("Advertise", "Loop", 0), 1u);
  struct stat st;
  ASSERT_EQ(::stat(root_.RegistryFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegistrySheet, AFileThatCannotBeWrittenShowsDefaultsAndEverySaveSaysWhy) {
  const std::string file = root_.RegistryFile().string();
  const std::string garbage = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlo\\Quillnet Server\\SMTP]\n\"MaxConnections\"=dword:00000005\n";
  WriteFile(root_.RegistryFile(), garbage);
  testing::internal::CaptureStderr();
  CMyPropSheet& sheet = Open();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(sheet.Smtp().Text(CPPSMTP::kMaxConnections), "10");
  sheet.Wip().SetAudit(true);
  for (int attempt = 0; attempt < 2; ++attempt) {
    view_.boxes.clear();
    sheet.OnOK();
    EXPECT_EQ(RefusedSave(), "The configuration could not be saved: " + file +
                                 " is not in the registry export format.");
    EXPECT_FALSE(view_.ended);
  }
  EXPECT_EQ(ReadFile(root_.RegistryFile()), garbage);

  // Closed to the account: an operator's file that another account runs
  // the editor on.
  fs::remove(root_.RegistryFile());
  ASSERT_TRUE(CQuillnetRegistry().WriteDWORD("SMTP", "MaxConnections", 5));
  const std::string before = ReadFile(root_.RegistryFile());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0) {
      if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(10);
    } else {
      ::chmod(file.c_str(), 0);
    }
    CMyPropSheet& closed = Open();
    if (closed.Smtp().Text(CPPSMTP::kMaxConnections) != "10") ::_exit(11);
    closed.Smtp().SetText(CPPSMTP::kMaxConnections, "7");
    closed.OnOK();
    if (view_.ended) ::_exit(12);
    if (RefusedSave() != "The configuration could not be saved: " + file +
                             " cannot be read or written by this account.")
      ::_exit(13);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no other account, 11: no defaults, 12: closed, 13: no reason";
  ::chmod(file.c_str(), 0600);
  EXPECT_EQ(ReadFile(root_.RegistryFile()), before);
}

// Texts an operator wrote by hand that the sheet shows but would not write
// itself: a save of another value leaves every byte of them as it was.
TEST_F(RegistrySheet, OddStoredTextsSurviveASaveOfOtherValues) {
  const std::string smtp =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlo\\Quillnet Server\\SMTP]\n"
      "; kept with its value\n"
      "\"MailRelayAddress\"=hex(1):72,65,6c,61,79,0a,6e,65,78,74,00\n"
      "\"PrimaryDomainName\"=\"caf\xe9\"\n"
      "\"AdditionalDomainNames\"=\"" + std::string(3000, 'd') + "\"\n"
      "\"MaxConnections\"=\"5\"\n"
      "\"Port\"=dword:00000a00\n";
  WriteFile(root_.RegistryFile(), "REGEDIT4\n\n" + smtp + "\n");
  CMyPropSheet& sheet = Open();
  EXPECT_EQ(sheet.Smtp().Text(CPPSMTP::kRelay), "relay\nnext");
  EXPECT_EQ(sheet.Smtp().Text(CPPSMTP::kPrimary), "caf\xe9");
  EXPECT_EQ(sheet.Smtp().Text(CPPSMTP::kOtherDomains).size(), 3000u);
  EXPECT_EQ(sheet.Smtp().Text(CPPSMTP::kMaxConnections), "10");
  sheet.Wip().SetAudit(true);
  sheet.OnOK();
  EXPECT_EQ(view_.ended, IDOK);
  const std::string after = ReadFile(root_.RegistryFile());
  EXPECT_NE(after.find(smtp), std::string::npos) << after.substr(0, 400);
  EXPECT_EQ(CQuillnetRegistry().ReadDWORD("WIP Server", "AuditDownloads", 0), 1u);
}

TEST_F(RegistrySheet, AThousandAdvertisementsLoadMoveAndSave) {
  std::list<std::string> stored;
  for (int i = 0; i < 1000; ++i) stored.push_back("App " + std::to_string(i) + "\tVendor\t" + std::to_string(i));
  ASSERT_TRUE(CAdvertiseMultiReg().SaveList(stored));
  ASSERT_TRUE(CQuillnetRegistry().WriteDWORD("Advertise", "Loop", 1));
  CMyPropSheet& sheet = Open();
  ASSERT_EQ(sheet.Adv().Lines().size(), 1000u);
  EXPECT_EQ(sheet.Adv().Lines()[999], "App 999\tVendor\t999");
  sheet.Adv().OnSelChange(999);
  for (int i = 0; i < 999; ++i) sheet.Adv().OnMoveUp();
  sheet.OnOK();
  EXPECT_EQ(view_.ended, IDOK);
  std::list<std::string> back;
  CAdvertiseMultiReg().ReadList(back);
  stored.push_front(stored.back());
  stored.pop_back();
  EXPECT_EQ(back, stored);
  CQuillnetRegistry registry;
  EXPECT_EQ(registry.ReadString("Advertise", "00", ""), "App 999~Vendor~999");
  EXPECT_EQ(registry.ReadString("Advertise", "999", ""), "App 998~Vendor~998");
  EXPECT_EQ(registry.ReadDWORD("Advertise", "Loop", 0), 1u);
}

}  // namespace
}  // namespace qn::config::test
