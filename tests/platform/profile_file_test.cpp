// Profile files as the installer writes QNSVR.INI and ACCOUNT.QNI: values
// found without regard to case, other lines kept, and what cannot be
// written refused rather than mangled.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/profile_file.h"
#include "support/scoped_root.h"

namespace {

using qn::profile::Lookup;
using qn::profile::WithValue;

TEST(ProfileFile, ValuesAreSetReplacedAndRemovedKeepingEverythingElse) {
  const std::string text = "; kept comment\n[General]\nODBCType = MSAccess\nOther=1\n\n[Database1]\nx=y\n";
  EXPECT_EQ(Lookup(text, "general", "odbctype"), "MSAccess");
  EXPECT_EQ(Lookup(text, "Database1", "Other"), std::nullopt);

  const std::string replaced = WithValue(text, "GENERAL", "odbctype", "MSSQL");
  EXPECT_EQ(replaced, "; kept comment\n[General]\nodbctype=MSSQL\nOther=1\n\n[Database1]\nx=y\n");
  const std::string added = WithValue(replaced, "General", "ODBCConnectString", "DSN=a;PWD={b;c}");
  EXPECT_EQ(Lookup(added, "General", "ODBCConnectString"), "DSN=a;PWD={b;c}");
  EXPECT_EQ(Lookup(added, "Database1", "x"), "y");
  const std::string section = WithValue(added, "Database2", "ODBC Data Source", "Quillnet Server");
  EXPECT_EQ(Lookup(section, "Database2", "ODBC Data Source"), "Quillnet Server");
  const std::string removed = WithValue(section, "General", "Other", std::nullopt);
  EXPECT_EQ(Lookup(removed, "General", "Other"), std::nullopt);
  EXPECT_EQ(Lookup(removed, "General", "odbctype"), "MSSQL");
  EXPECT_EQ(WithValue("", "S", "k", "v"), "[S]\nk=v\n");
  // A duplicated key is written once.
  EXPECT_EQ(WithValue("[S]\nk=1\nk=2\n", "S", "K", "3"), "[S]\nK=3\n");
  // Breaks and separators that would change other keys are refused.
  for (auto [section, key, value] : {std::tuple{"S", "k", "a\nb"}, std::tuple{"S", "k=x", "v"},
                                     std::tuple{"S]", "k", "v"}, std::tuple{"S", "", "v"}})
    EXPECT_EQ(WithValue(text, section, key, std::string(value)), text);
}

TEST(ProfileFile, FilesAreReplacedWholeAndSecretsKeptFromOthers) {
  qn::test::ScopedRoot root;
  const auto file = root.path() / "QNSVR.INI";
  ASSERT_TRUE(qn::profile::WriteString(file, "General", "ODBCType", "MSSQL", false));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_TRUE(qn::profile::WriteString(file, "General", "ODBCConnectString", "DSN=x;PWD=s", true));
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(qn::profile::ReadString(file, "general", "ODBCTYPE"), "MSSQL");
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));
  EXPECT_FALSE(qn::profile::WriteString(root.path() / "missing/dir/X.INI", "S", "k", "v", false));
}

}  // namespace
