#include "platform/registry_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/registry_text.h"
#include "support/scoped_root.h"

using namespace qn::reg;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

const KeyHandle kMachine = KeyHandle::Root(Hive::LocalMachine);

class RegistryStore : public ::testing::Test {
 protected:
  qn::test::ScopedRoot root_;
  fs::path file_ = root_.RegistryFile();
  Store store_{file_};

  std::string Get(Store& store, std::string_view key, std::string_view name) {
    KeyHandle k;
    Value v;
    if (store.OpenKey(kMachine, key, k) != kOk || store.QueryValue(k, name, v) != kOk) return "<none>";
    return AsString(v);
  }
  Status Set(Store& store, std::string_view key, std::string_view name, std::string_view text) {
    KeyHandle k;
    if (Status s = store.CreateKey(kMachine, key, k); s != kOk) return s;
    return store.SetValue(k, MakeString(name, text));
  }
};

}  // namespace

TEST_F(RegistryStore, KeysAreCreatedWithTheirParentsAndKeepTheirWrittenCase) {
  KeyHandle k;
  EXPECT_EQ(store_.OpenKey(kMachine, "SOFTWARE\\Brenlo", k), kFileNotFound);
  EXPECT_FALSE(fs::exists(file_));  // a missing file is an empty registry
  ASSERT_EQ(store_.CreateKey(kMachine, "SOFTWARE\\Brenlo\\Quillnet Server\\", k), kOk);
  EXPECT_EQ(k.path(), "SOFTWARE\\Brenlo\\Quillnet Server");

  KeyHandle again;
  ASSERT_EQ(store_.CreateKey(kMachine, "software\\BRENLO\\quillnet server\\General", again), kOk);
  EXPECT_EQ(again.path(), "SOFTWARE\\Brenlo\\Quillnet Server\\General");
  ASSERT_EQ(store_.SetValue(again, MakeString("ODBCType", "MSAccess")), kOk);
  ASSERT_EQ(store_.SetValue(again, MakeString("odbctype", "MSSQL")), kOk);
  Value v;
  ASSERT_EQ(store_.QueryValue(again, "ODBCTYPE", v), kOk);
  EXPECT_EQ(v.name, "ODBCType");
  EXPECT_EQ(AsString(v), "MSSQL");

  const std::string text = ReadFile(file_);
  EXPECT_EQ(text.rfind("REGEDIT4\n", 0), 0u);
  for (const char* line : {"[HKEY_LOCAL_MACHINE\\SOFTWARE]\n", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlo]\n",
                           "\"ODBCType\"=\"MSSQL\"\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;

  EXPECT_EQ(store_.CreateKey(kMachine, "\\leading", k), kBadPathname);
  EXPECT_EQ(store_.CreateKey(kMachine, "a\\\\b", k), kBadPathname);
  EXPECT_EQ(store_.SetValue(again, MakeString("two\nlines", "x")), kInvalidParameter);
  EXPECT_EQ(store_.SetValue(KeyHandle(), MakeString("x", "x")), kInvalidHandle);
}

TEST_F(RegistryStore, ValuesAndSubkeysEnumerateInFileOrder) {
  WriteFile(file_,
            "REGEDIT4\n"
            "[HKEY_LOCAL_MACHINE\\K\\Zeta\\Deep]\n"
            "[HKEY_LOCAL_MACHINE\\K]\n\"z\"=\"1\"\n\"a\"=\"2\"\n\"m\"=dword:00000003\n"
            "[HKEY_LOCAL_MACHINE\\K\\alpha]\n"
            "[HKEY_LOCAL_MACHINE\\K\\ZETA]\n");
  KeyHandle k;
  ASSERT_EQ(store_.OpenKey(kMachine, "k", k), kOk);
  std::vector<std::string> names;
  Value v;
  for (uint32_t i = 0; store_.EnumValue(k, i, v) == kOk; ++i) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{"z", "a", "m"}));
  EXPECT_EQ(store_.EnumValue(k, 3, v), kNoMoreItems);

  std::vector<std::string> keys;
  std::string name;
  for (uint32_t i = 0; store_.EnumKey(k, i, name) == kOk; ++i) keys.push_back(name);
  EXPECT_EQ(keys, (std::vector<std::string>{"Zeta", "alpha"}));

  // "K\Zeta" is only implied by the key below it, yet it exists.
  KeyHandle zeta;
  EXPECT_EQ(store_.OpenKey(k, "zeta\\deep", zeta), kOk);
  ASSERT_EQ(store_.DeleteKey(k, "ZETA"), kOk);
  EXPECT_EQ(store_.OpenKey(k, "Zeta\\Deep", zeta), kFileNotFound);
  EXPECT_EQ(store_.DeleteKey(k, "Zeta"), kFileNotFound);
  EXPECT_EQ(store_.EnumKey(k, 0, name), kOk);
  EXPECT_EQ(name, "alpha");
  EXPECT_EQ(store_.EnumKey(k, 1, name), kNoMoreItems);
}

TEST_F(RegistryStore, ClassesRootIsTheMachinesSoftwareClasses) {
  KeyHandle cr = KeyHandle::Root(Hive::ClassesRoot), prog;
  ASSERT_EQ(store_.CreateKey(cr, "QuillnetServer.Monitor\\CLSID", prog), kOk);
  EXPECT_EQ(prog.path(), "QuillnetServer.Monitor\\CLSID");
  ASSERT_EQ(store_.SetValue(prog, MakeString("", "{00000000-0000-0000-0000-000000000001}")), kOk);
  EXPECT_EQ(Get(store_, "Software\\Classes\\quillnetserver.monitor\\clsid", ""),
            "{00000000-0000-0000-0000-000000000001}");
  std::string name;
  ASSERT_EQ(store_.EnumKey(cr, 0, name), kOk);
  EXPECT_EQ(name, "QuillnetServer.Monitor");
}

TEST_F(RegistryStore, AnotherWritersChangeIsSeenOnTheNextRead) {
  Store other{file_};
  ASSERT_EQ(Set(store_, "K", "v", "1"), kOk);
  EXPECT_EQ(Get(other, "K", "v"), "1");
  // Same size each time and far quicker than a tick of the file clock: only
  // the new file's identity tells the versions apart.
  for (int i = 0; i < 200; ++i) {
    const std::string text = std::to_string(i % 10);
    ASSERT_EQ(Set(store_, "K", "v", text), kOk);
    ASSERT_EQ(Get(other, "K", "v"), text) << i;
  }

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Store own{file_};
    KeyHandle k;
    bool ok = own.OpenKey(kMachine, "K", k) == kOk && own.SetValue(k, MakeString("v", "from child")) == kOk;
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Get(other, "K", "v"), "from child");
  EXPECT_EQ(Get(store_, "K", "v"), "from child");
}

TEST_F(RegistryStore, DefaultFollowsTheRootOfTheMoment) {
  Store& first = Store::Default();
  EXPECT_EQ(first.file(), file_);
  ASSERT_EQ(Set(first, "K", "v", "first root"), kOk);
  {
    qn::test::ScopedRoot second;
    Store& other = Store::Default();
    EXPECT_NE(&other, &first);
    EXPECT_EQ(Get(other, "K", "v"), "<none>");
  }
  EXPECT_EQ(&Store::Default(), &first);
  EXPECT_EQ(Get(Store::Default(), "K", "v"), "first root");
}

TEST_F(RegistryStore, AFileNotInTheFormatIsNeverOverwritten) {
  const std::string garbage = "[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"1\"\n";  // no header line
  WriteFile(file_, garbage);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Get(store_, "K", "v"), "<none>");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("registry file"), std::string::npos);
  KeyHandle k;
  EXPECT_EQ(store_.CreateKey(kMachine, "K", k), kBadDb);
  EXPECT_EQ(ReadFile(file_), garbage);
}

TEST_F(RegistryStore, TheFileIsItsOwnersOnly) {
  // It holds the database login: nobody else may read it, however it began.
  ASSERT_EQ(Set(store_, "K", "a", "secret"), kOk);
  struct stat st;
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ::chmod(file_.c_str(), 0664);
  ASSERT_EQ(Set(store_, "K", "b", "more"), kOk);
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
}

TEST_F(RegistryStore, AFailedWriteChangesNothing) {
  ASSERT_EQ(Set(store_, "K", "a", "old a"), kOk);
  ASSERT_EQ(Set(store_, "K", "b", "old b"), kOk);
  ::chmod(file_.c_str(), 0600);
  ASSERT_EQ(Set(store_, "K", "c", "new"), kOk);
  struct stat st;
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // a rewrite keeps the operator's permissions

  const std::string before = ReadFile(file_);
  fs::path temp = file_;
  temp += ".tmp";
  fs::create_directory(temp);  // the temporary file cannot be written
  KeyHandle k;
  ASSERT_EQ(store_.OpenKey(kMachine, "K", k), kOk);
  EXPECT_NE(store_.ReplaceValues(k, {MakeString("x", "1"), MakeString("y", "2")}), kOk);
  EXPECT_NE(store_.SetValue(k, MakeString("a", "changed")), kOk);
  EXPECT_EQ(ReadFile(file_), before);
  EXPECT_EQ(Get(store_, "K", "a"), "old a");
  EXPECT_EQ(Get(store_, "K", "x"), "<none>");

  fs::remove(temp);
  ASSERT_EQ(store_.ReplaceValues(k, {MakeString("x", "1"), MakeString("X", "2"), MakeDword("n", 5)}), kOk);
  std::vector<Value> values;
  ASSERT_EQ(store_.QueryValues(k, values), kOk);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(AsString(values[0]), "2");
  EXPECT_EQ(values[1].name, "n");
}

// Several programs write the one file at once: nobody's value may be lost,
// and a reader must never find half a file.
TEST_F(RegistryStore, ConcurrentProcessesLoseNoValue) {
  constexpr int kWriters = 2;
  constexpr int kWrites = 500;
  ASSERT_EQ(Set(store_, "Shared", "seed", "0"), kOk);
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Store own{file_};
      KeyHandle k;
      if (own.OpenKey(kMachine, "Shared", k) != kOk) ::_exit(2);
      for (int i = 0; i < kWrites; ++i) {
        const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
        if (own.SetValue(k, MakeDword(name, static_cast<uint32_t>(i))) != kOk) ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }

  int parses = 0, failures = 0;
  for (;;) {
    int running = 0;
    for (pid_t pid : children)
      if (::waitpid(pid, nullptr, WNOHANG) == 0) ++running;
    if (running == 0) break;
    qn::reg::text::Document doc;
    std::string error;
    if (!qn::reg::text::Parse(ReadFile(file_), doc, error) || doc.Find("Shared") == std::string::npos)
      ++failures;
    ++parses;
  }
  EXPECT_EQ(failures, 0) << "of " << parses << " reads";

  KeyHandle k;
  ASSERT_EQ(store_.OpenKey(kMachine, "Shared", k), kOk);
  std::vector<Value> values;
  ASSERT_EQ(store_.QueryValues(k, values), kOk);
  EXPECT_EQ(values.size(), 1u + kWriters * kWrites);
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kWrites; ++i) {
      Value v;
      ASSERT_EQ(store_.QueryValue(k, "w" + std::to_string(w) + "_" + std::to_string(i), v), kOk);
      EXPECT_EQ(v.data[0] | (v.data[1] << 8), i);
    }
  }
}

TEST_F(RegistryStore, ConcurrentThreadsLoseNoValue) {
  Store second{file_};
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Store& store = (t % 2) ? second : store_;
      for (int i = 0; i < 50; ++i)
        if (Set(store, "T", "t" + std::to_string(t) + "_" + std::to_string(i), "x") != kOk) ++failures;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  KeyHandle k;
  std::vector<Value> values;
  ASSERT_EQ(store_.OpenKey(kMachine, "T", k), kOk);
  ASSERT_EQ(store_.QueryValues(k, values), kOk);
  EXPECT_EQ(values.size(), 200u);
}

// A save of several keys beside another program's writes: a reader of the
// file finds all of a save or none of it, the other program's values stay
// (also a value the save keeps in a key it replaces), and values the save
// names take its data where they stand.
TEST_F(RegistryStore, ASeveralKeyWriteIsWholeAndKeepsWhatItDoesNotName) {
  constexpr int kSaves = 150;
  constexpr int kOtherWrites = 150;
  ASSERT_EQ(Set(store_, "P\\One", "n", "0"), kOk);
  ASSERT_EQ(Set(store_, "P\\List", "Loop", "theirs"), kOk);
  pid_t other = ::fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    Store own{file_};
    KeyHandle k;
    if (own.CreateKey(kMachine, "P\\One", k) != kOk) ::_exit(2);
    for (int i = 0; i < kOtherWrites; ++i)
      if (own.SetValue(k, MakeDword("o" + std::to_string(i), 1)) != kOk) ::_exit(1);
    ::_exit(0);
  }
  pid_t reader = ::fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    // Every version of the file until the last save: "n" in One and the
    // entries of List agree.
    int torn = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (std::string n; n != std::to_string(kSaves) && std::chrono::steady_clock::now() < deadline;) {
      qn::reg::text::Document doc;
      std::string error;
      const bool parsed = qn::reg::text::Parse(ReadFile(file_), doc, error);
      const size_t one = doc.Find("P\\One"), list = doc.Find("P\\List");
      if (!parsed || one == std::string::npos || list == std::string::npos) {
        ++torn;
        break;
      }
      std::string entries;
      for (const auto& e : doc.keys[one].values)
        if (e.value.name == "n") n = AsString(e.value);
      for (const auto& e : doc.keys[list].values)
        if (e.value.name != "Loop") entries += AsString(e.value);
      if (n != "0" && entries != n + n) ++torn;
    }
    ::_exit(torn == 0 ? 0 : 3);
  }
  for (int i = 1; i <= kSaves; ++i) {
    const std::string n = std::to_string(i);
    ASSERT_EQ(store_.WriteKeys({KeyWrite{kMachine, "P\\One", {MakeString("N", n)}, false, {}},
                                KeyWrite{kMachine, "P\\List", {MakeString("00", n), MakeString("01", n)}, true, {"LOOP"}}}),
              kOk);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(other, &status, 0), other);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(::waitpid(reader, &status, 0), reader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a reader found half a save";

  KeyHandle one, list;
  ASSERT_EQ(store_.OpenKey(kMachine, "P\\One", one), kOk);
  ASSERT_EQ(store_.OpenKey(kMachine, "P\\List", list), kOk);
  std::vector<Value> values;
  ASSERT_EQ(store_.QueryValues(one, values), kOk);
  ASSERT_EQ(values.size(), 1u + kOtherWrites);
  EXPECT_EQ(values[0].name, "n") << "kept where it stands, as written";
  EXPECT_EQ(AsString(values[0]), std::to_string(kSaves));
  ASSERT_EQ(store_.QueryValues(list, values), kOk);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "Loop");
  EXPECT_EQ(AsString(values[0]), "theirs");

  // A save that fails writes none of its keys.
  const std::string before = ReadFile(file_);
  fs::path temp = file_;
  temp += ".tmp";
  fs::create_directory(temp);
  EXPECT_NE(store_.WriteKeys({KeyWrite{kMachine, "P\\One", {MakeString("n", "lost")}, false, {}},
                              KeyWrite{kMachine, "P\\New", {MakeString("x", "lost")}, false, {}}}),
            kOk);
  EXPECT_EQ(ReadFile(file_), before);
  fs::remove(temp);
  // A save that changes nothing leaves the file alone.
  struct stat st1, st2;
  ASSERT_EQ(::stat(file_.c_str(), &st1), 0);
  ASSERT_EQ(store_.WriteKeys({KeyWrite{kMachine, "P\\List", {MakeString("00", std::to_string(kSaves)),
                                                              MakeString("01", std::to_string(kSaves))},
                                       true, {"Loop"}}}),
            kOk);
  ASSERT_EQ(::stat(file_.c_str(), &st2), 0);
  EXPECT_EQ(st1.st_ino, st2.st_ino);
}
