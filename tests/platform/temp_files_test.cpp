// Temporary files: in $TMPDIR, exclusive, private to their owner, under
// names no one can guess beforehand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "platform/temp_files.h"
#include "support/scoped_root.h"

TEST(TempFiles, PrivateUnpredictableFilesInTmpdir) {
  qn::test::ScopedRoot root;
  const std::filesystem::path dir = root.path() / "tmp";
  std::filesystem::create_directories(dir);
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", (dir.string() + "//").c_str(), 1);
  EXPECT_EQ(qn::TempDirectory(), dir.string());

  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    std::string path;
    const int fd = qn::CreateTempFile("QNS", path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(std::filesystem::path(path).parent_path(), dir);
    EXPECT_EQ(std::filesystem::path(path).filename().string().rfind("QNS", 0), 0u);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    names.insert(path);
  }
  EXPECT_EQ(names.size(), 20u);

  const std::string written = qn::WriteTempFile("QNS", std::string("a\0b", 3));
  ASSERT_FALSE(written.empty());
  std::ifstream in(written, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string("a\0b", 3));

  // A directory that cannot hold files: nothing is made, nothing is left.
  setenv("TMPDIR", (dir / "missing").c_str(), 1);
  std::string path = "x";
  EXPECT_EQ(qn::CreateTempFile("QNS", path), -1);
  EXPECT_TRUE(path.empty());
  EXPECT_TRUE(qn::WriteTempFile("QNS", "data").empty());
  if (old) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
}
