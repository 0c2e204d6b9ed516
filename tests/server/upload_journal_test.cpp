// The journal of files that uploads are writing: what it still lists after a
// kill, and what the next start removes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "server/core/upload_journal.h"
#include "support/scoped_root.h"

namespace {

namespace fs = std::filesystem;

TEST(UploadJournal, ListsWhatWasMadeAndNotForgotten) {
  struct Case {
    const char* what;
    std::string journal;
    std::vector<std::string> open;
  };
  const std::vector<Case> cases = {
      {"empty", "", {}},
      {"made", "+/a/QNS1.TMP\n+/b/QNSx\n", {"/a/QNS1.TMP", "/b/QNSx"}},
      {"forgotten", "+/a\n+/b\n-/a\n", {"/b"}},
      {"made again after it went", "+/a\n-/a\n+/a\n", {"/a"}},
      {"a line cut by the kill", "+/a\n+/b", {"/a"}},
      {"forgetting what was never made", "-/a\n+/b\n", {"/b"}},
      {"lines too short or of no kind", "\n+\n*x\n+/c\n", {"/c"}},
  };
  for (const Case& c : cases) EXPECT_EQ(qn::OpenUploadFiles(c.journal), c.open) << c.what;
}

TEST(UploadJournal, TheNextStartRemovesWhatAKilledServerWasWriting) {
  qn::test::ScopedRoot root;
  const fs::path dir = qn::paths::ProgramDir();
  fs::create_directories(dir);
  RemoveLeftoverUploadFiles();  // as at start: forgets another root's journal
  const auto make = [&](const char* name) {
    std::ofstream(dir / name) << "part";
    return (dir / name).string();
  };
  const std::string done = make("QNS000001.TMP");
  const std::string cut = make("QNS000002.TMP");
  const std::string reserved = make("QNSabcdef");
  JournalUploadFile(done);
  JournalUploadFile(cut);
  JournalUploadFile(reserved);
  ForgetUploadFile(done);  // it took its name, say
  // The process dies here: nothing more is written.
  RemoveLeftoverUploadFiles();
  EXPECT_TRUE(fs::exists(done));
  EXPECT_FALSE(fs::exists(cut));
  EXPECT_FALSE(fs::exists(reserved));
  EXPECT_FALSE(fs::exists(dir / "uploads.journal"));

  // Uploads that all ended leave a journal that lists nothing.
  const std::string next = make("QNS000003.TMP");
  JournalUploadFile(next);
  ForgetUploadFile(next);
  EXPECT_EQ(fs::file_size(dir / "uploads.journal"), 0u);
  RemoveLeftoverUploadFiles();
  EXPECT_TRUE(fs::exists(next));
}

}  // namespace
