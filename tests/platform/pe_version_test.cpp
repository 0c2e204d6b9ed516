#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "platform/pe_version.h"
#include "support/pe_writer.h"

using qn::pe::VersionStringFromBytes;
using qn::pe::VersionStringFromFile;
using qn::test::BuildProgramFile;
using qn::test::BuildProgramFileWithString;
using qn::test::BuildVersionResource;
using qn::test::VersionInfo;

namespace {

// A heap copy of exactly the given length, so that a read past the end is
// caught by the address sanitizer.
std::optional<std::string> Read(const std::vector<uint8_t>& file, size_t length,
                                std::string_view name = "Comments") {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[length ? length : 1]);
  std::copy(file.begin(), file.begin() + static_cast<long>(length), copy.get());
  return VersionStringFromBytes(copy.get(), length, name);
}
std::optional<std::string> Read(const std::vector<uint8_t>& file,
                                std::string_view name = "Comments") {
  return Read(file, file.size(), name);
}

}  // namespace

TEST(PeVersionReader, ReadsTheStringOfBothFormats) {
  VersionInfo info;
  info.tables.push_back({u"040904B0", {{u"CompanyName", u"Brenlo"}, {u"Comments", u"Client V2.10"}}});
  const auto resource = BuildVersionResource(info);
  EXPECT_EQ(Read(BuildProgramFile(resource, false)), "Client V2.10");
  EXPECT_EQ(Read(BuildProgramFile(resource, true)), "Client V2.10");
  EXPECT_EQ(Read(BuildProgramFile(resource), "CompanyName"), "Brenlo");
  // Names and table keys as the Win32 lookup takes them: without regard to case.
  EXPECT_EQ(Read(BuildProgramFile(resource), "comments"), "Client V2.10");
  EXPECT_EQ(Read(BuildProgramFile(resource), "Comment"), std::nullopt);
}

TEST(PeVersionReader, UsesTheTableOfTheFirstTranslation) {
  VersionInfo info;
  info.translations = {{0x0407, 0x04E4}, {0x0409, 0x04B0}};
  info.tables.push_back({u"040904B0", {{u"Comments", u"english V1.0"}}});
  info.tables.push_back({u"040704e4", {{u"Comments", u"deutsch V3.5"}}});
  EXPECT_EQ(Read(BuildProgramFile(BuildVersionResource(info))), "deutsch V3.5");

  info.translations = {{0x040C, 0x04B0}};  // no table for it
  EXPECT_EQ(Read(BuildProgramFile(BuildVersionResource(info))), std::nullopt);
  info.translations.clear();  // no Translation at all
  EXPECT_EQ(Read(BuildProgramFile(BuildVersionResource(info))), std::nullopt);
}

TEST(PeVersionReader, ConvertsUtf16ToUtf8) {
  const std::u16string text = u"Gr\u00FC\u00DFe \u20AC \U0001F600 \xD800x";
  EXPECT_EQ(Read(BuildProgramFileWithString(u"Comments", text)),
            "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBDx");
  EXPECT_EQ(Read(BuildProgramFileWithString(u"Comments", u"")), "");
}

TEST(PeVersionReader, EveryTruncationIsRefusedOrReadInBounds) {
  for (bool wide : {false, true}) {
    VersionInfo info;
    info.tables.push_back({u"040904B0", {{u"Comments", u"Client V2.10"}}});
    const auto file = BuildProgramFile(BuildVersionResource(info), wide);
    size_t complete = file.size();
    for (size_t length = 0; length < file.size(); ++length) {
      auto text = Read(file, length);
      if (text) {
        EXPECT_EQ(*text, "Client V2.10") << length;
        complete = std::min(complete, length);
      }
    }
    // Only the section's zero padding may go missing.
    EXPECT_GT(complete, 0x200u + 0x58u);
  }
}

TEST(PeVersionReader, HostileBytesNeverReadOutOfBounds) {
  const auto good = BuildProgramFileWithString(u"Comments", u"Client V2.10");
  std::mt19937 random(12345);
  for (int round = 0; round < 20000; ++round) {
    auto file = good;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < changes; ++i) {
      // Mostly the headers and the tree, where offsets and lengths live.
      const size_t at = random() % 2 ? random() % 0x200 : 0x200 + random() % 0x120;
      file[at] = static_cast<uint8_t>(random() % 3 == 0 ? 0xFF : random());
    }
    (void)Read(file);
  }
}

TEST(PeVersionReader, NodeLengthsThatWouldLoop) {
  auto resource = BuildVersionResource([] {
    VersionInfo info;
    info.tables.push_back({u"040904B0", {{u"Comments", u"x"}}});
    return info;
  }());
  // The first child (StringFileInfo) starts after the root's header, key and
  // fixed block: 6 + 32 bytes of key, padded to 40, plus 52.
  ASSERT_EQ(resource[98], 'S');
  resource[92] = 0;
  resource[93] = 0;
  EXPECT_EQ(Read(BuildProgramFile(resource)), std::nullopt);
  // A directory entry pointing back at the root directory.
  auto file = BuildProgramFileWithString(u"Comments", u"x");
  file[0x200 + 0x14] = 0x00;  // type 16's subdirectory -> the root itself
  EXPECT_EQ(Read(file), std::nullopt);
}

TEST(PeVersionReader, NotAProgramFile) {
  EXPECT_EQ(VersionStringFromBytes(nullptr, 0, "Comments"), std::nullopt);
  const std::vector<uint8_t> text{'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(Read(text), std::nullopt);
  // A valid program without a version resource.
  auto file = BuildProgramFileWithString(u"Comments", u"x");
  file[0x200 + 0x10] = 3;  // the type entry now names RT_ICON
  EXPECT_EQ(Read(file), std::nullopt);
}

TEST(PeVersionReader, FromFile) {
  char dir[] = "/tmp/qn_pe_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/CLIENT.EXE";
  qn::test::WriteFile(path, BuildProgramFileWithString(u"Comments", u"Client V2.10"));
  EXPECT_EQ(VersionStringFromFile(path, "Comments"), "Client V2.10");
  EXPECT_EQ(VersionStringFromFile(std::string(dir) + "/MISSING.EXE", "Comments"), std::nullopt);
  EXPECT_EQ(VersionStringFromFile(dir, "Comments"), std::nullopt);  // a directory
  std::filesystem::remove_all(dir);
}
