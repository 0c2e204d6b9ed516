#include "common/registry.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

#include "support/scoped_root.h"

using namespace qn::reg;
namespace fs = std::filesystem;

namespace {

const KeyHandle kMachine = KeyHandle::Root(Hive::LocalMachine);
const std::string kProduct = kQuillnetKey;

KeyHandle Open(const std::string& path) {
  KeyHandle k;
  EXPECT_EQ(Store::Default().CreateKey(kMachine, path, k), kOk);
  return k;
}

std::vector<std::string> ValueNames(const std::string& path) {
  std::vector<Value> values;
  Store::Default().QueryValues(Open(path), values);
  std::vector<std::string> names;
  for (const auto& v : values) names.push_back(v.name);
  return names;
}

class Registry : public ::testing::Test {
 protected:
  qn::test::ScopedRoot root_;
};

}  // namespace

TEST_F(Registry, ReadsFallBackToDefaultsAndCreateTheSection) {
  CQuillnetRegistry reg;
  ASSERT_TRUE(reg.Key());
  EXPECT_EQ(reg.ReadDWORD("General", "Timeout", 15), 15u);
  EXPECT_EQ(reg.ReadString("SMTP", "MailRelayAddress", "none"), "none");
  KeyHandle k;
  EXPECT_EQ(Store::Default().OpenKey(kMachine, kProduct + "\\General", k), kOk);
  EXPECT_EQ(Store::Default().OpenKey(kMachine, kProduct + "\\SMTP", k), kOk);

  // Only the first read of a section writes the file; settings are read on
  // hot paths.
  // Each look keeps the file it saw open, so a replaced file can never come
  // back under a recycled inode number.
  std::vector<int> held;
  auto inode = [&] {
    const int fd = ::open(root_.RegistryFile().c_str(), O_RDONLY);
    struct stat st {};
    ::fstat(fd, &st);
    held.push_back(fd);
    return st.st_ino;
  };
  const auto first = inode();
  for (int i = 0; i < 10; ++i) reg.ReadDWORD("General", "Timeout", 15);
  EXPECT_EQ(inode(), first);
  ASSERT_TRUE(reg.WriteDWORD("Logging", "APILog", 0));
  const auto second = inode();
  EXPECT_NE(second, first);
  ASSERT_TRUE(reg.WriteDWORD("Logging", "APILog", 0));  // unchanged: nothing to write
  EXPECT_EQ(inode(), second);

  ASSERT_TRUE(reg.WriteDWORD("General", "Timeout", 30));
  ASSERT_TRUE(reg.WriteString("General", "ODBCType", "MSSQL"));
  EXPECT_EQ(reg.ReadDWORD("general", "TIMEOUT", 15), 30u);
  EXPECT_EQ(reg.ReadString("General", "ODBCType", ""), "MSSQL");
  // Another object of another program sees the same values.
  CRegistry other(HKEY_LOCAL_MACHINE, "software\\brenlo\\QUILLNET SERVER");
  EXPECT_EQ(other.ReadDWORD("General", "Timeout", 0), 30u);
  for (int fd : held) ::close(fd);
}

TEST_F(Registry, DwordReadsTakeExactlyFourBytes) {
  CQuillnetRegistry reg;
  const KeyHandle general = reg.OpenSection("General");
  Store& store = Store::Default();
  ASSERT_EQ(store.SetValue(general, MakeBinary("Long", {1, 0, 0, 0, 0})), kOk);
  ASSERT_EQ(store.SetValue(general, MakeBinary("Short", {1, 0})), kOk);
  ASSERT_EQ(store.SetValue(general, MakeString("Text", "1")), kOk);
  ASSERT_EQ(store.SetValue(general, MakeBinary("Four", {0x78, 0x56, 0x34, 0x12})), kOk);
  EXPECT_EQ(reg.ReadDWORD("General", "Long", 77), 77u);
  EXPECT_EQ(reg.ReadDWORD("General", "Short", 77), 77u);
  EXPECT_EQ(reg.ReadDWORD("General", "Text", 77), 77u);
  EXPECT_EQ(reg.ReadDWORD("General", "Four", 77), 0x12345678u);
}

TEST_F(Registry, WriteStringDeletesValuesAndSections) {
  CQuillnetRegistry reg;
  ASSERT_TRUE(reg.WriteString("Guardian", "KickOffApp", "restart.sh"));
  ASSERT_TRUE(reg.WriteDWORD("Guardian", "SecCheckInterval", 120));
  ASSERT_TRUE(reg.WriteString("Guardian", "KickOffApp", nullptr));
  EXPECT_EQ(reg.ReadString("Guardian", "KickOffApp", "gone"), "gone");
  EXPECT_FALSE(reg.WriteString("Guardian", "KickOffApp", nullptr));  // nothing left to delete
  EXPECT_EQ(reg.ReadDWORD("Guardian", "SecCheckInterval", 0), 120u);
  ASSERT_TRUE(reg.WriteString("Guardian", nullptr, nullptr));
  EXPECT_EQ(reg.ReadDWORD("Guardian", "SecCheckInterval", 0), 0u);

  ASSERT_TRUE(reg.WriteMultiString("Logging", "Logging", {"level=1", "file=x"}));
  Value v;
  ASSERT_EQ(Store::Default().QueryValue(reg.OpenSection("Logging"), "Logging", v), kOk);
  EXPECT_EQ(v.type, kMultiString);
  EXPECT_EQ(AsMultiString(v), (std::vector<std::string>{"level=1", "file=x"}));
  // A string read of a multi-string gives its first item.
  EXPECT_EQ(reg.ReadString("Logging", "Logging", ""), "level=1");
}

TEST_F(Registry, ReopenKeepsTheOldKeyWhenTheNewOneCannotBeHad) {
  CQuillnetRegistry reg;
  ASSERT_TRUE(reg.WriteDWORD("General", "Port", 4000));
  EXPECT_FALSE(reg.Reopen(HKEY_LOCAL_MACHINE, "bad\\\\path"));
  EXPECT_EQ(reg.ReadDWORD("General", "Port", 0), 4000u);
  ASSERT_TRUE(reg.Reopen(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other"));
  EXPECT_EQ(reg.ReadDWORD("General", "Port", 0), 0u);
}

TEST_F(Registry, AKeyThatCannotBeMadeGivesDefaultsAndFailedWrites) {
  // A file in the place of the configuration directory.
  fs::create_directories(root_.path() / "etc");
  std::ofstream(root_.path() / "etc/quillnet") << "not a directory";
  CQuillnetRegistry reg;
  EXPECT_FALSE(reg.Key());
  EXPECT_EQ(reg.ReadDWORD("General", "Timeout", 15), 15u);
  EXPECT_FALSE(reg.WriteDWORD("General", "Timeout", 1));
  EXPECT_FALSE(IsOdbcTypeMsSql());
}

TEST_F(Registry, OdbcTypeDecidesTheDatabaseMode) {
  // The data layer: missing or "MSAccess" in any case is the per-area files.
  // The install run: only exactly "MSSQL" adds the database dependency.
  EXPECT_TRUE(IsOdbcTypeAccess());
  EXPECT_FALSE(IsOdbcTypeMsSql());
  CQuillnetRegistry reg;
  reg.WriteString("General", "ODBCType", "msaccess");
  EXPECT_TRUE(IsOdbcTypeAccess());
  EXPECT_FALSE(IsOdbcTypeMsSql());
  reg.WriteString("General", "ODBCType", "mssql");
  EXPECT_FALSE(IsOdbcTypeAccess());
  EXPECT_FALSE(IsOdbcTypeMsSql());
  reg.WriteString("General", "ODBCType", "MSSQL");
  EXPECT_FALSE(IsOdbcTypeAccess());
  EXPECT_TRUE(IsOdbcTypeMsSql());
}

namespace {

class MultiRegistry : public ::testing::Test {
 protected:
  qn::test::ScopedRoot root_;
  const std::string advertise_ = kProduct + "\\Advertise";
};

struct FakeListBox : IListBox {
  std::vector<std::string> items{"stale"};
  void ResetContent() override { items.clear(); }
  void AddString(const std::string& text) override { items.push_back(text); }
};

}  // namespace

TEST_F(MultiRegistry, AdvertisementsReadInFileOrderWithoutLoop) {
  const KeyHandle k = Open(advertise_);
  Store& store = Store::Default();
  ASSERT_EQ(store.SetValue(k, MakeString("01", "Second~Vendor B~30")), kOk);
  ASSERT_EQ(store.SetValue(k, MakeDword("Loop", 1)), kOk);
  ASSERT_EQ(store.SetValue(k, MakeString("00", "First~Vendor A~60")), kOk);
  ASSERT_EQ(store.SetValue(k, MakeDword("loop", 1)), kOk);  // the same value: names ignore case

  CAdvertiseMultiReg ads;
  std::list<std::string> list{"stale"};
  ads.ReadList(list);
  EXPECT_EQ(list, (std::list<std::string>{"Second\tVendor B\t30", "First\tVendor A\t60"}));

  // Only the exact name is the loop flag; any other spelling is an entry.
  std::string entry;
  EXPECT_FALSE(ads.FormatEntry(entry, "Loop", "x"));
  EXPECT_TRUE(ads.FormatEntry(entry, "LOOP", "a~b"));
  EXPECT_EQ(entry, "a\tb");

  FakeListBox box;
  ads.FillListBox(box);
  EXPECT_EQ(box.items, (std::vector<std::string>{"Second\tVendor B\t30", "First\tVendor A\t60"}));
}

TEST_F(MultiRegistry, SavingReplacesEveryValueInOneStep) {
  const KeyHandle k = Open(advertise_);
  ASSERT_EQ(Store::Default().SetValue(k, MakeDword("Loop", 1)), kOk);
  ASSERT_EQ(Store::Default().SetValue(k, MakeString("07", "old")), kOk);

  CAdvertiseMultiReg ads;
  std::list<std::string> list;
  for (int i = 0; i < 12; ++i) list.push_back("App " + std::to_string(i) + "\tVendor\t60");
  ASSERT_TRUE(ads.SaveList(list));
  std::vector<std::string> names = ValueNames(advertise_);
  ASSERT_EQ(names.size(), 12u);
  EXPECT_EQ(names[0], "00");
  EXPECT_EQ(names[11], "11");
  CRegistry reg(HKEY_LOCAL_MACHINE, kProduct);
  EXPECT_EQ(reg.ReadString("Advertise", "03", ""), "App 3~Vendor~60");
  std::list<std::string> back;
  ads.ReadList(back);
  EXPECT_EQ(back, list);

  ASSERT_TRUE(ads.SaveList({}));
  EXPECT_TRUE(ValueNames(advertise_).empty());
}

TEST_F(MultiRegistry, AFailedSaveKeepsTheOldList) {
  CAdvertiseMultiReg ads;
  ASSERT_TRUE(ads.SaveList({"A\tV\t10", "B\tV\t20"}));
  ASSERT_TRUE(CQuillnetRegistry().WriteDWORD("Advertise", "Loop", 1));
  fs::path temp = root_.RegistryFile();
  temp += ".tmp";
  fs::create_directory(temp);
  EXPECT_FALSE(ads.SaveList({"C\tV\t30"}));
  EXPECT_EQ(ValueNames(advertise_), (std::vector<std::string>{"00", "01", "Loop"}));
}

TEST_F(MultiRegistry, BaseFormatJoinsNameAndDataWithATab) {
  CDriveConnectionsMultiReg drives;
  ASSERT_TRUE(drives.SaveList({"Q:\t\\\\server\\share", "no tab here", "R:\tfirst\tsecond"}));
  CRegistry reg(HKEY_LOCAL_MACHINE, kProduct);
  EXPECT_EQ(reg.ReadString("Drive Connections", "Q:", ""), "\\\\server\\share");
  EXPECT_EQ(reg.ReadString("Drive Connections", "", ""), "no tab here");
  EXPECT_EQ(reg.ReadString("Drive Connections", "R:", ""), "first\tsecond");
  std::list<std::string> list;
  drives.ReadList(list);
  EXPECT_EQ(list, (std::list<std::string>{"Q:\t\\\\server\\share", "\tno tab here", "R:\tfirst\tsecond"}));
}

TEST_F(MultiRegistry, ValuesBeyondTheListBuffersAreNotEntries) {
  const KeyHandle k = Open(kProduct + "\\Drive Connections");
  Store& store = Store::Default();
  ASSERT_EQ(store.SetValue(k, MakeString(std::string(199, 'n'), "fits")), kOk);
  ASSERT_EQ(store.SetValue(k, MakeString(std::string(200, 'n'), "name too long")), kOk);
  ASSERT_EQ(store.SetValue(k, MakeString("data fits", std::string(199, 'd'))), kOk);
  ASSERT_EQ(store.SetValue(k, MakeString("data too long", std::string(200, 'd'))), kOk);
  CDriveConnectionsMultiReg drives;
  std::list<std::string> list;
  drives.ReadList(list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list.front(), std::string(199, 'n') + "\tfits");
  EXPECT_EQ(list.back(), "data fits\t" + std::string(199, 'd'));
}

namespace {

int g_timeoutReads = 0;
uint32_t ReadTimeout() {
  ++g_timeoutReads;
  return CQuillnetRegistry().ReadDWORD("General", "Timeout", 15);
}

// Runs `loop` until the watch has counted a change since `before`.
bool ChangeSeen(asio::io_context& loop, uint64_t before) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ChangesSeen() == before && std::chrono::steady_clock::now() < deadline) {
    loop.restart();
    loop.run_one_for(std::chrono::milliseconds(50));
  }
  return ChangesSeen() != before;
}

}  // namespace

// A kept value must follow every way the registry file changes (this
// process's own writes, which rename a new file into place, and an editor
// writing it in place), and nothing may be kept while no watch runs.
TEST_F(Registry, KeptSettingIsReadAgainOnceTheFileChanges) {
  CQuillnetRegistry reg;
  ASSERT_TRUE(reg.WriteDWORD("General", "Timeout", 20));
  CKeptSetting<uint32_t> timeout(&ReadTimeout);
  g_timeoutReads = 0;
  EXPECT_EQ(*timeout.Get(), 20u);
  EXPECT_EQ(*timeout.Get(), 20u);
  EXPECT_EQ(g_timeoutReads, 2) << "without a watch every use reads";

  asio::io_context loop;
  ASSERT_TRUE(StartWatch(loop));
  EXPECT_EQ(*timeout.Get(), 20u);
  const auto held = timeout.Get();
  EXPECT_EQ(g_timeoutReads, 3) << "with a watch the value is kept";

  uint64_t before = ChangesSeen();
  ASSERT_TRUE(reg.WriteDWORD("General", "Timeout", 25));
  ASSERT_TRUE(ChangeSeen(loop, before));
  EXPECT_EQ(*timeout.Get(), 25u);
  EXPECT_EQ(*held, 20u) << "a holder keeps what it got";

  // In place, as an editor saves: the same file, new contents.
  std::string text;
  {
    std::ifstream in(root_.RegistryFile(), std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  before = ChangesSeen();
  {
    std::ofstream out(root_.RegistryFile(), std::ios::binary | std::ios::trunc);
    out << text;
  }
  ASSERT_TRUE(ChangeSeen(loop, before));
  const int reads = g_timeoutReads;
  EXPECT_EQ(*timeout.Get(), 25u);
  EXPECT_EQ(g_timeoutReads, reads + 1);

  StopWatch();
  EXPECT_FALSE(IsWatching());
  ASSERT_TRUE(reg.WriteDWORD("General", "Timeout", 30));
  EXPECT_EQ(*timeout.Get(), 30u);
}
