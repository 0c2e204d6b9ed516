// The CAM service against the real server in both storage modes: records
// and files before logon, names in any case, the file keys, libraries
// replaced and damaged while the server runs, a clean stop, and the
// advertisements pushed through CAM messages.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <filesystem>
#include <fstream>

#include "common/crc32.h"
#include "common/registry.h"
#include "support/cam_golden.h"
#include "support/installed_server.h"

namespace {

namespace fs = std::filesystem;
using qn::test::ArchiveBytes;
using qn::test::ArchiveData;
using qn::test::Code;
using qn::test::Ended;
using qn::test::GoldenLibraries;
using qn::test::StorageMode;

fs::path LibraryDir() { return fs::path(qn::test::InstalledProgramDir()) / "QNCAMLIB"; }

void WriteFile(const fs::path& path, const ArchiveData& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A new library file put in place at once, as a tool would.
void ReplaceLibrary(const ArchiveData& bytes) {
  WriteFile(LibraryDir() / "QNCAMLIB.new", bytes);
  fs::rename(LibraryDir() / "QNCAMLIB.new", LibraryDir() / "QNCAMLIB.DAT");
}

fs::path KeyFile(const std::string& keyText, const char* extension) {
  char name[32];
  std::snprintf(name, sizeof name, "%08X.%s", ComputeStringCrc32(keyText), extension);
  return LibraryDir() / name;
}

ArchiveData Pattern(size_t size, uint8_t seed) {
  ArchiveData bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

// The reply row of one record: its 16-bit length, then the archive.
ArchiveData RecordRow(const ArchiveBytes& record) {
  ArchiveBytes row;
  row.Word(static_cast<uint16_t>(record.size())).Raw(record.bytes());
  return row.bytes();
}

class CamEndToEnd : public qn::test::InstalledServerTest {
 protected:
  void BeforeStart() override {
    fs::remove_all(LibraryDir());
    fs::create_directories(LibraryDir());
    ReplaceLibrary(GoldenLibraries().at("basic"));
    // Named by the key texts, whatever case the client uses.
    WriteFile(KeyFile("PaintBrenloPAINT.EXE", "UCV"), Pattern(5000, 1));
    WriteFile(KeyFile("PaintBrenloPAINT.EXE7", "RTP"), Pattern(768, 2));
    WriteFile(KeyFile("ComponentQNRT.DLL", "UCV"), Pattern(769, 3));
    WriteFile(KeyFile("ComponentQNRT.DLL3", "RTP"), Pattern(0, 4));
    // On disk, but not a file of the application.
    WriteFile(KeyFile("PaintBrenloEXTRA.DAT", "UCV"), Pattern(10, 5));
  }
};

TEST_P(CamEndToEnd, RecordsBeforeLogonInAnyCaseAsTheirArchives) {
  auto client = Connect();
  ArchiveBytes paint;
  paint.Byte(1).AppGenInfo("Paint", "Brenlo", "Draws", "2.0", "", 1).Count(2);
  paint.NewClass("CCAMFileArchive").Byte(1).FileInfo("PAINT.EXE", "main", 1000, 7);  // 1, 2
  paint.Count(2).NewClass("CCAMFileAncestor").Ancestor(900, "v1");                   // 3, 4
  paint.ClassTag(3).Ancestor(950, "v2");                                             // 5
  paint.ClassTag(1).Byte(1).FileInfo("PAINT.HLP", "help", 1001, 8).Count(0);         // 6
  paint.Count(1).NewClass("CCAMFileInfo").FileInfo("NOTES.TXT", "", 5, 0);           // 7, 8
  const auto record = client->Call("cam", "GETAPPRECORD", {"pAINT", "brenlo"});
  ASSERT_TRUE(Ended(record));
  ASSERT_TRUE(record.schema.has_value());
  EXPECT_EQ(record.schema->rowCount, 1);
  ASSERT_EQ(record.schema->columns.size(), 1u);
  EXPECT_EQ(record.schema->columns[0].name, "Rec");
  EXPECT_EQ(record.schema->columns[0].type, 8);
  ASSERT_EQ(record.rawRows.size(), 1u);
  EXPECT_EQ(record.rawRows[0], RecordRow(paint));

  ArchiveBytes runtime;
  runtime.Byte(1).ComGenInfo("Shared runtime").Byte(1).FileInfo("QNRT.DLL", "", 2000, 3);
  runtime.Count(1).NewClass("CCAMFileAncestor").Ancestor(1999, "old");
  const auto component = client->Call("CAM", "GetComRecord", {"qnrt.DLL"});
  ASSERT_EQ(component.rawRows.size(), 1u);
  EXPECT_EQ(component.rawRows[0], RecordRow(runtime));

  EXPECT_EQ(Code(client->Call("CAM", "GetAppRecord", {"Paint", "Other"})), 0x1304);
  EXPECT_EQ(Code(client->Call("CAM", "GetComRecord", {"NONE.DLL"})), 0x1304);
  EXPECT_EQ(Code(client->Call("CAM", "GetAppRecord", {"Paint"})), 0x1304);
  EXPECT_EQ(Code(client->Call("CAM", "GetComRecord", {"QNRT.DLL", "x"})), 0x1304);
  EXPECT_EQ(Code(client->Call("CAM", "GetAppRecords", {"Paint", "Brenlo"})), 0x1303);
  // Other services stay closed before logon.
  EXPECT_EQ(Code(client->Call("Account", "GetCredits")), 0x1302);
}

TEST_P(CamEndToEnd, EachFileKeyNamesItsFileAndOnlyListedFilesAreSent) {
  auto client = Connect();
  const auto exe = client->Fetch("CAM", "GetAppFile", {"paint", "BRENLO", "Paint.Exe"});
  ASSERT_TRUE(exe.has_value());
  EXPECT_EQ(exe->bytes, Pattern(5000, 1));
  struct stat st;
  ASSERT_EQ(::stat(KeyFile("PaintBrenloPAINT.EXE", "UCV").c_str(), &st), 0);
  EXPECT_EQ(exe->modified, static_cast<uint32_t>(st.st_mtime));
  const auto patch = client->Fetch("CAM", "GetAppFilePatch", {"PAINT", "brenlo", "paint.exe", "7x"});
  ASSERT_TRUE(patch.has_value());
  EXPECT_EQ(patch->bytes, Pattern(768, 2));
  const auto com = client->Fetch("CAM", "GetComFile", {"qnrt.dll"});
  ASSERT_TRUE(com.has_value());
  EXPECT_EQ(com->bytes, Pattern(769, 3));
  const auto comPatch = client->Fetch("CAM", "GetComFilePatch", {"QNRT.dll", "3"});
  ASSERT_TRUE(comPatch.has_value());
  EXPECT_TRUE(comPatch->bytes.empty());

  // On disk but not in the application's list; listed but not on disk;
  // another version; a component the library does not hold.
  EXPECT_EQ(Code(client->Call("CAM", "GetAppFile", {"Paint", "Brenlo", "EXTRA.DAT"})), 0x1304);
  EXPECT_EQ(Code(client->Call("CAM", "GetAppFile", {"Paint", "Brenlo", "PAINT.HLP"})), 0x1304);
  EXPECT_EQ(Code(client->Call("CAM", "GetAppFilePatch", {"Paint", "Brenlo", "PAINT.EXE", "8"})), 0x1304);
  EXPECT_EQ(Code(client->Call("CAM", "GetComFile", {"OTHER.DLL"})), 0x1304);
  EXPECT_EQ(Code(client->Call("CAM", "GetAppFile", {"Paint", "Brenlo"})), 0x1304);

  // The same after logon.
  auto member = Create("Camper");
  const auto again = member->Fetch("CAM", "GetComFile", {"QNRT.DLL"});
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->bytes, Pattern(769, 3));
}

TEST_P(CamEndToEnd, ReplacedAndDamagedLibrariesWhileRunning) {
  auto client = Connect();
  ASSERT_TRUE(Ended(client->Call("CAM", "GetComRecord", {"QNRT.DLL"})));
  ReplaceLibrary(qn::test::SimpleLibrary("Next", "V", {"N.EXE"}, {{"c", "N.DLL"}}));
  EXPECT_EQ(Code(client->Call("CAM", "GetAppRecord", {"Paint", "Brenlo"})), 0x1304);
  EXPECT_TRUE(Ended(client->Call("CAM", "GetAppRecord", {"next", "v"})));
  EXPECT_TRUE(Ended(client->Call("CAM", "GetComRecord", {"n.dll"})));

  // Damaged inside the component list: the applications read whole stay.
  ReplaceLibrary(GoldenLibraries().at("damage_truncated"));
  EXPECT_TRUE(Ended(client->Call("CAM", "GetAppRecord", {"Paint", "Brenlo"})));
  EXPECT_TRUE(Ended(client->Call("CAM", "GetAppRecord", {"Chess", "Games Inc"})));
  EXPECT_EQ(Code(client->Call("CAM", "GetComRecord", {"QNRT.DLL"})), 0x1304);

  // Any bytes at all.
  ReplaceLibrary(Pattern(100000, 0xFF));
  EXPECT_EQ(Code(client->Call("CAM", "GetAppRecord", {"Paint", "Brenlo"})), 0x1304);
  fs::remove(LibraryDir() / "QNCAMLIB.DAT");
  EXPECT_EQ(Code(client->Call("CAM", "GetComFile", {"QNRT.DLL"})), 0x1304);
  ReplaceLibrary(GoldenLibraries().at("basic"));
  EXPECT_TRUE(Ended(client->Call("CAM", "GetComRecord", {"QNRT.DLL"})));
}

TEST_P(CamEndToEnd, SharedObjectsAreSentWholeAndTheServerStopsCleanly) {
  ReplaceLibrary(GoldenLibraries().at("shared"));
  auto client = Connect();
  ArchiveBytes beta;
  beta.Byte(1).AppGenInfo("Beta", "V");
  beta.Count(1).NewClass("CCAMFileArchive").Byte(1).FileInfo("A.DLL", "", 1, 1);
  beta.Count(1).NewClass("CCAMFileAncestor").Ancestor(1, "x");
  beta.Count(1).NewClass("CCAMAppRecord").Byte(1).AppGenInfo("Alpha", "V");
  beta.Count(3).ObjectTag(2).Null().ObjectTag(2);
  beta.Count(2).ObjectTag(4).Null();
  const auto reply = client->Call("CAM", "GetAppRecord", {"beta", "V"});
  ASSERT_EQ(reply.rawRows.size(), 1u);
  EXPECT_EQ(reply.rawRows[0], RecordRow(beta));
  EXPECT_TRUE(Ended(client->Call("CAM", "GetAppRecord", {"Alpha", "v"})));
  client.reset();
  // Replaced once more, then stopped: every shared object freed once.
  ReplaceLibrary(GoldenLibraries().at("component_in_second_list"));
  EXPECT_TRUE(Ended(Connect()->Call("CAM", "GetComRecord", {"SPELL.DLL"})));
  EXPECT_EQ(server_.Stop(), 0);
}

// Two advertisements of 5 seconds each, without looping.
class AdvertiseEndToEnd : public CamEndToEnd {
 protected:
  void BeforeStart() override {
    CamEndToEnd::BeforeStart();
    CAdvertiseMultiReg().SaveList({"Paint\tBrenlo\t5", "Chess\tGames Inc\t5", "not an entry"});
    CQuillnetRegistry().WriteDWORD("Advertise", "Loop", 0);
  }
};

TEST_P(AdvertiseEndToEnd, TwoAdvertisementsReachBothListenersOfAMemberInOrderOnceEach) {
  auto member = Connect();
  // Both listen before logon: they carry the messages of whoever is logged
  // on on their connection when a message comes.
  const uint16_t first = member->Send("CAM", "GetSCAMMessages");
  const uint16_t second = member->Send("CAM", "GetSCAMMessages", {"x"});
  std::optional<qn::DecodedSchema> schema;
  for (int i = 0; i < 2; ++i) {
    auto reply = member->client.ReadReply();
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(reply->type, qn::kPacketSchema);
    schema = qn::DecodeSchema(reply->body.data(), reply->body.size());
    ASSERT_TRUE(schema.has_value());
    EXPECT_EQ(schema->rowCount, -1);
  }
  ASSERT_TRUE(Ended(member->Call("Logon", "CreateAccount", {"Viewer", "pw"})));
  auto other = Create("Elsewhere");  // logged on, never listening

  std::vector<std::string> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(25);
  // The second advertisement, then one more tick and a margin for more.
  std::optional<std::chrono::steady_clock::time_point> quietUntil;
  while (std::chrono::steady_clock::now() < (quietUntil ? *quietUntil : deadline)) {
    auto packet = member->client.ReadReply(500);
    if (!packet) continue;
    ASSERT_EQ(packet->type, qn::kPacketMoreData);
    auto row = qn::DecodeRow(schema->columns, packet->body.data(), packet->body.size());
    ASSERT_TRUE(row.has_value());
    seen.push_back(std::to_string(packet->requestId == first ? 1 : packet->requestId == second ? 2 : 0) + " " +
                   std::get<std::string>((*row)[0]) + "/" + std::get<std::string>((*row)[1]) + "/" +
                   std::to_string(std::get<int32_t>((*row)[2])));
    if (seen.size() == 4) quietUntil = std::chrono::steady_clock::now() + std::chrono::seconds(7);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1 Paint/Brenlo/0", "2 Paint/Brenlo/0", "1 Chess/Games Inc/0",
                                            "2 Chess/Games Inc/0"}));
  EXPECT_TRUE(other->client.StaysSilent(10));
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, AdvertiseEndToEnd,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         qn::test::StorageModeParamName);

INSTANTIATE_TEST_SUITE_P(BothStorageModes, CamEndToEnd,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         qn::test::StorageModeParamName);

}  // namespace
