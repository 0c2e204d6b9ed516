// The CAM library's reader and writer against archives built byte by byte
// from the file layout (support/cam_golden), never by the writer under test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "server/services/cam_library.h"
#include "support/cam_golden.h"

namespace {

using qn::test::ArchiveBytes;
using qn::test::ArchiveData;
using qn::test::GoldenLibraries;

const ArchiveData& Golden(const std::string& name) { return GoldenLibraries().at(name); }

CCAMLibrary LoadClean(const ArchiveData& bytes) {
  CCAMLibrary library;
  std::string error;
  EXPECT_TRUE(library.Load(bytes.data(), bytes.size(), &error)) << error;
  return library;
}

TEST(CamLibrary, ReadsEveryMemberOfEveryClass) {
  const CCAMLibrary lib = LoadClean(Golden("basic"));
  ASSERT_EQ(lib.m_apps.size(), 2u);
  const CCAMAppRecord& paint = *lib.m_apps[0];
  EXPECT_EQ(paint.m_info.m_strAppName, "Paint");
  EXPECT_EQ(paint.m_info.m_strVendor, "Brenlo");
  EXPECT_EQ(paint.m_info.m_strExtra[0], "Draws");
  EXPECT_EQ(paint.m_info.m_strExtra[1], "2.0");
  EXPECT_EQ(paint.m_info.m_byExtra, 1);
  ASSERT_EQ(paint.m_files.size(), 2u);
  const CCAMFileArchive& exe = *paint.m_files[0];
  EXPECT_EQ(exe.m_info.m_strFileName, "PAINT.EXE");
  EXPECT_EQ(exe.m_info.m_strDetail, "main");
  EXPECT_EQ(exe.m_info.m_tTime, 1000u);
  EXPECT_EQ(exe.m_info.m_nValue, 7u);
  ASSERT_EQ(exe.m_ancestors.size(), 2u);
  EXPECT_EQ(exe.m_ancestors[1]->m_tTime, 950u);
  EXPECT_EQ(exe.m_ancestors[1]->m_strText, "v2");
  ASSERT_EQ(paint.m_objects.size(), 1u);
  auto* notes = dynamic_cast<CCAMFileInfo*>(paint.m_objects[0].get());
  ASSERT_NE(notes, nullptr);
  EXPECT_EQ(notes->m_strFileName, "NOTES.TXT");
  EXPECT_TRUE(lib.m_apps[1]->m_files.empty());

  ASSERT_EQ(lib.m_components.size(), 1u);
  EXPECT_EQ(lib.m_components[0]->m_info.m_strText, "Shared runtime");
  EXPECT_EQ(lib.m_components[0]->GetFileName(), "QNRT.DLL");
  EXPECT_EQ(lib.m_components[0]->m_file.m_ancestors.at(0)->m_strText, "old");

  EXPECT_EQ(lib.FindApp("paint", "BRENLO"), &paint);
  EXPECT_EQ(lib.FindApp("Paint", "Other"), nullptr);
  EXPECT_EQ(paint.FindFile("paint.hlp"), paint.m_files[1].get());
  EXPECT_EQ(lib.FindComponent("qnrt.dll"), lib.m_components[0].get());
}

TEST(CamLibrary, WriterReproducesTheHandBuiltArchives) {
  for (const char* name : {"basic", "shared", "long_tags", "component_in_second_list", "empty"}) {
    const CCAMLibrary lib = LoadClean(Golden(name));
    EXPECT_EQ(lib.Store(), Golden(name)) << name;
  }
}

TEST(CamLibrary, BackReferencesShareOneObjectAndNullsStay) {
  const CCAMLibrary lib = LoadClean(Golden("shared"));
  ASSERT_EQ(lib.m_apps.size(), 3u);
  EXPECT_EQ(lib.m_apps[1], nullptr);
  const CCAMAppRecord& alpha = *lib.m_apps[0];
  const CCAMAppRecord& beta = *lib.m_apps[2];
  ASSERT_EQ(alpha.m_files.size(), 3u);
  EXPECT_EQ(alpha.m_files[1], nullptr);
  EXPECT_EQ(alpha.m_files[0], alpha.m_files[2]);          // within a record
  EXPECT_EQ(beta.m_files.at(0), alpha.m_files[0]);        // across records
  EXPECT_EQ(beta.m_objects.at(0), lib.m_apps[0]);         // a whole record
  EXPECT_EQ(alpha.m_objects.at(0), alpha.m_files[0]->m_ancestors.at(0));
  EXPECT_EQ(lib.m_components.at(0)->m_file.m_ancestors.at(0), alpha.m_files[0]->m_ancestors[0]);
  // Lookups pass the null application and the null file.
  EXPECT_EQ(lib.FindApp("beta", "v"), &beta);
  EXPECT_EQ(alpha.FindFile("a.dll"), alpha.m_files[0].get());
}

TEST(CamLibrary, ARecordWrittenAloneCarriesWhatItShares) {
  const CCAMLibrary lib = LoadClean(Golden("shared"));
  // Beta alone: its file and Alpha (which holds that file twice and the
  // ancestor) are new to this archive, so indices start again at 1.
  ArchiveBytes beta;
  beta.Byte(1).AppGenInfo("Beta", "V");
  beta.Count(1).NewClass("CCAMFileArchive").Byte(1).FileInfo("A.DLL", "", 1, 1);  // 1, 2
  beta.Count(1).NewClass("CCAMFileAncestor").Ancestor(1, "x");                    // 3, 4
  beta.Count(1).NewClass("CCAMAppRecord").Byte(1).AppGenInfo("Alpha", "V");       // 5, 6
  beta.Count(3).ObjectTag(2).Null().ObjectTag(2);
  beta.Count(2).ObjectTag(4).Null();
  EXPECT_EQ(StoreRecord(*lib.m_apps[2]), beta.bytes());

  ArchiveBytes component;
  component.Byte(1).ComGenInfo("c").Byte(1).FileInfo("A.DLL", "", 1, 1);
  component.Count(1).NewClass("CCAMFileAncestor").Ancestor(1, "x");
  EXPECT_EQ(StoreRecord(*lib.m_components[0]), component.bytes());
}

TEST(CamLibrary, LongTagsPastIndex7FFF) {
  const CCAMLibrary lib = LoadClean(Golden("long_tags"));
  const auto& objects = lib.m_apps.at(0)->m_objects;
  constexpr size_t kFill = 0x7FFF - 4;
  ASSERT_EQ(objects.size(), kFill + 5);
  auto* f1 = dynamic_cast<CCAMFileInfo*>(objects[kFill].get());
  auto* f2 = dynamic_cast<CCAMFileInfo*>(objects[kFill + 1].get());
  ASSERT_TRUE(f1 && f2);
  EXPECT_EQ(f1->m_strFileName, "F1");
  EXPECT_EQ(f2->m_strFileName, "F2");
  EXPECT_EQ(objects[kFill + 2], objects[kFill]);  // long back-reference
  EXPECT_EQ(objects[kFill + 3], objects[0]);      // short one
  ASSERT_EQ(lib.m_components.size(), 3u);
  EXPECT_EQ(lib.m_components[1]->GetFileName(), "TWO.DLL");
  EXPECT_EQ(lib.m_components[2], lib.m_components[0]);
}

TEST(CamLibrary, EveryStringAndCountForm) {
  // Non-shortest forms are read as well.
  const CCAMLibrary forms = LoadClean(Golden("forms"));
  const CCAMAppGenInfo& info = forms.m_apps.at(0)->m_info;
  EXPECT_EQ(info.m_strAppName, "App16");
  EXPECT_EQ(info.m_strVendor, "Vendor32");
  EXPECT_EQ(info.m_strExtra[1], std::string(254, 'a'));
  EXPECT_EQ(info.m_strExtra[2], std::string(255, 'b'));
  EXPECT_EQ(info.m_byExtra, 7);

  // Each length at the edges of the forms, read and written back the same.
  for (size_t length : {0u, 1u, 254u, 255u, 256u, 0xFFFDu, 0xFFFEu, 0xFFFFu, 0x10000u}) {
    const std::string name(length, 'n');
    ArchiveBytes b;
    b.Count(1).NewClass("CCAMAppRecord").Byte(1).AppGenInfo(name, "v").Count(0).Count(0).Count(0);
    const CCAMLibrary lib = LoadClean(b.bytes());
    ASSERT_EQ(lib.m_apps.size(), 1u) << length;
    EXPECT_EQ(lib.m_apps[0]->m_info.m_strAppName.size(), length);
    EXPECT_EQ(lib.Store(), b.bytes()) << length;
  }
  for (uint32_t count : {0xFFFEu, 0xFFFFu, 0x10000u}) {
    ArchiveBytes b;
    b.Count(1).NewClass("CCAMAppRecord").Byte(1).AppGenInfo("a", "v").Count(count);
    for (uint32_t i = 0; i < count; ++i) b.Null();
    b.Count(0).Count(0);
    const CCAMLibrary lib = LoadClean(b.bytes());
    EXPECT_EQ(lib.m_apps.at(0)->m_files.size(), count);
    EXPECT_EQ(lib.Store(), b.bytes()) << count;
  }
}

TEST(CamLibrary, VersionTwoFileInfoLeavesItsFileNamelessAndIsWrittenAsVersion1) {
  const CCAMLibrary lib = LoadClean(Golden("fileinfo_v2"));
  const CCAMAppRecord& editor = *lib.m_apps.at(0);
  ASSERT_EQ(editor.m_files.size(), 2u);
  EXPECT_EQ(editor.m_files[0]->m_info.m_strFileName, "");
  EXPECT_EQ(editor.FindFile("EDIT.EXE"), editor.m_files[1].get());
  ArchiveBytes written;
  written.Byte(1).AppGenInfo("Editor", "V").Count(2);
  written.NewClass("CCAMFileArchive").Byte(1).FileInfo("", "", 0, 0).Count(0);
  written.ClassTag(1).Byte(1).FileInfo("EDIT.EXE", "", 3, 4).Count(0);
  written.Count(0);
  EXPECT_EQ(StoreRecord(editor), written.bytes());
}

TEST(CamLibrary, ComponentFirstMetInAnApplicationsSecondList) {
  const CCAMLibrary lib = LoadClean(Golden("component_in_second_list"));
  ASSERT_EQ(lib.m_components.size(), 2u);
  EXPECT_EQ(lib.m_components[0], lib.m_apps.at(0)->m_objects.at(0));
  EXPECT_EQ(lib.FindComponent("gram.dll"), lib.m_components[1].get());
  EXPECT_EQ(lib.FindComponent("spell.dll"), lib.m_components[0].get());
}

TEST(CamLibrary, DamageKeepsTheRecordsReadWholeBeforeIt) {
  struct Case {
    const char* name;
    size_t apps;
    const char* why;
  };
  const Case cases[] = {
      {"damage_unknown_class", 1, "unknown class"},
      {"damage_schema", 1, "another schema"},
      {"damage_tag_names_object", 1, "names no class"},
      {"damage_tag_unread_object", 1, "names no object"},
      {"damage_tag_names_class", 1, "names no object"},
      {"damage_cycle", 1, "object that holds it"},
      {"damage_file_list_class", 1, "list does not hold"},
      {"damage_component_list_class", 1, "list does not hold"},
      {"damage_wide_string", 1, "wide characters"},
      {"damage_long_count", 1, "end of the archive"},
      {"damage_long_string", 1, "end of the archive"},
      {"damage_truncated", 2, "end of the archive"},
      {"damage_deep", 1, "too deep"},
      {"damage_deep_chain", static_cast<size_t>(CArchive::kMaxDepth), "too deep"},
  };
  for (const Case& c : cases) {
    CCAMLibrary lib;
    std::string error;
    const ArchiveData& bytes = Golden(c.name);
    EXPECT_FALSE(lib.Load(bytes.data(), bytes.size(), &error)) << c.name;
    EXPECT_NE(error.find(c.why), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(lib.m_apps.size(), c.apps) << c.name;
    EXPECT_TRUE(lib.m_components.empty()) << c.name;
    for (const auto& app : lib.m_apps) {
      ASSERT_NE(app, nullptr) << c.name;
      // What was kept can be written out again.
      EXPECT_NO_THROW(StoreRecord(*app)) << c.name;
    }
  }
  // Every proper prefix of a good library is damage, never a crash.
  const ArchiveData& basic = Golden("basic");
  for (size_t cut = 0; cut < basic.size(); ++cut) {
    CCAMLibrary lib;
    EXPECT_FALSE(lib.Load(basic.data(), cut)) << cut;
  }
}

TEST(CamLibrary, NestingUpToTheLimitReads) {
  // Applications nested in second lists: kMaxDepth levels in all.
  ArchiveBytes b;
  b.Count(1).NewClass("CCAMAppRecord");
  for (int i = 1; i < CArchive::kMaxDepth; ++i) b.Byte(1).AppGenInfo("N", "V").Count(0).Count(1).ClassTag(1);
  b.Byte(1).AppGenInfo("N", "V").Count(0).Count(0).Count(0);
  const CCAMLibrary lib = LoadClean(b.bytes());
  EXPECT_EQ(lib.Store(), b.bytes());
}

TEST(CamLibrary, CorpusOfTheFuzzTargetIsTheGoldenSet) {
  const std::filesystem::path dir = std::filesystem::path(QN_SOURCE_DIR) / "fuzz/corpus/fuzz_cam_library";
  const bool write = std::getenv("QN_WRITE_CORPUS") != nullptr;
  if (write) std::filesystem::create_directories(dir);
  for (const auto& [name, bytes] : GoldenLibraries()) {
    const std::filesystem::path file = dir / name;
    if (write) {
      std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                  static_cast<std::streamsize>(bytes.size()));
    }
    std::ifstream in(file, std::ios::binary);
    const ArchiveData stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(stored, bytes) << file << " (QN_WRITE_CORPUS=1 rewrites the corpus)";
  }
}

}  // namespace
