// The CAM service inside a server object with connections that keep what
// they are sent: message listeners and pushes, records at the frame limit,
// reloading the library, and starting the client application manager.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core_fakes.h"
#include "server/core/cam_hook.h"
#include "server/core/request_packet.h"
#include "server/core/server.h"
#include "server/core/user.h"
#include "server/services/cam_library.h"
#include "server/services/service_cam.h"
#include "support/cam_golden.h"
#include "support/member_install.h"
#include "support/scoped_root.h"

namespace {

using qn::test::ArchiveBytes;
using qn::test::ArchiveData;
namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const ArchiveData& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// An application whose record is 16 bytes plus `extra` (at least 255).
ArchiveData LibraryWithRecordOf(size_t extra) {
  ArchiveBytes b;
  b.Count(1).NewClass("CCAMAppRecord").Byte(1);
  b.AppGenInfo("A", "V", std::string(extra, 'x')).Count(0).Count(0).Count(0);
  return b.bytes();
}

class CamService : public ::testing::Test {
 protected:
  void SetUp() override {
    qn::test::MemberInstall::Root();  // logoffs find no database here
    CTransportBase::SetServer(&server_);
    WriteLibrary(qn::test::GoldenLibraries().at("basic"));
    CServiceCAM::InitModule();
  }
  void TearDown() override {
    for (FakeConnection* c : connections_) delete c;
    CServiceCAM::TermModule();
    CTransportBase::SetServer(nullptr);
    fs::remove_all(Library().parent_path());
  }
  static fs::path Library() {
    return qn::test::MemberInstall::Root() / "var/lib/quillnet/QNCAMLIB/QNCAMLIB.DAT";
  }
  static void WriteLibrary(const ArchiveData& bytes) {
    // A new file, as an administration tool writes it.
    const fs::path next = Library().string() + ".new";
    WriteFile(next, bytes);
    fs::rename(next, Library());
  }
  FakeConnection* Connect() {
    auto* c = new FakeConnection();
    server_.AddConnection(c);
    c->SetHandshakeState(CTransportBase::kNormal);
    connections_.push_back(c);
    return c;
  }
  static void LogOn(FakeConnection* c, const std::string& id) {
    auto* user = new CUser();
    user->Attach(id, c, 1000, 0, -1, 0);
    c->SetUser(user);
  }
  static void LogOff(FakeConnection* c) {
    delete c->GetUser();
    c->SetUser(nullptr);
  }
  void Request(FakeConnection* c, uint16_t id, const std::string& item, const std::string& params = "") {
    auto bytes = qn::EncodeRequestPacket({id, "CAM", item, params});
    bool ended = false;
    server_.RoutePacket(c, new CByteBlock(bytes.data(), static_cast<int32_t>(bytes.size())), ended);
  }
  // What the connection was sent since the last call.
  static std::vector<std::vector<uint8_t>> Take(FakeConnection* c) {
    auto sent = std::move(c->sent);
    c->sent.clear();
    return sent;
  }
  static std::vector<uint8_t> Packet(uint8_t type, uint16_t id, const std::vector<uint8_t>& body) {
    return qn::EncodeIdPacket(type, id, body.data(), body.size());
  }
  static std::vector<uint8_t> MessageRow(const std::string& app, const std::string& vendor, uint8_t type) {
    std::vector<uint8_t> row(app.begin(), app.end());
    row.push_back(0);
    row.insert(row.end(), vendor.begin(), vendor.end());
    row.push_back(0);
    row.push_back(type);
    return row;
  }

  CServer server_;
  std::vector<FakeConnection*> connections_;
};

TEST_F(CamService, MessagesReachEachListenerOfTheMemberOnItsConnectionOnce) {
  FakeConnection* ann = Connect();
  FakeConnection* bob = Connect();
  Request(ann, 1, "GetSCAMMessages");  // before logon
  LogOn(ann, "Ann");
  Request(ann, 2, "getscammessages", "whatever\x01is sent");
  LogOn(bob, "Bob");
  Request(bob, 7, "GetSCAMMessages");
  const std::vector<uint8_t> schema = {0xFF, 0xFF, 7, 'A', 'p', 'p', 0, 7, 'V', 'e', 'n', 'd', 'o', 'r', 0,
                                       2,    'T',  'y', 'p', 'e', 0};
  EXPECT_EQ(Take(ann), (std::vector<std::vector<uint8_t>>{Packet(3, 1, schema), Packet(3, 2, schema)}));
  Take(bob);
  EXPECT_EQ(GetCamListenerCount(), 3);

  // The row carries the names as the caller gave them.
  EXPECT_TRUE(SendCAMMessage("ANN", "paint", "BRENLO", 3));
  EXPECT_EQ(Take(ann), (std::vector<std::vector<uint8_t>>{Packet(4, 1, MessageRow("paint", "BRENLO", 3)),
                                                          Packet(4, 2, MessageRow("paint", "BRENLO", 3))}));
  EXPECT_TRUE(Take(bob).empty());

  // Not in the library, or nobody of that ID listening: nothing goes out.
  EXPECT_FALSE(SendCAMMessage("Ann", "Paint", "Nobody", 0));
  EXPECT_FALSE(SendCAMMessage("Cy", "Paint", "Brenlo", 0));
  EXPECT_TRUE(Take(ann).empty());

  // A cancelled listener hears no more; the other still does.
  const std::vector<uint8_t> cancel = qn::EncodeCancelPacket(1);
  bool ended = false;
  server_.RoutePacket(ann, new CByteBlock(cancel.data(), static_cast<int32_t>(cancel.size())), ended);
  Take(ann);
  EXPECT_TRUE(SendCAMMessage("Ann", "Chess", "Games Inc", 1));
  EXPECT_EQ(Take(ann), (std::vector<std::vector<uint8_t>>{Packet(4, 2, MessageRow("Chess", "Games Inc", 1))}));

  // The member automation's SendCAM comes the same way.
  EXPECT_TRUE(CallSendCAMMessage("Ann", "Paint", "Brenlo", 4));
  EXPECT_EQ(Take(ann), (std::vector<std::vector<uint8_t>>{Packet(4, 2, MessageRow("Paint", "Brenlo", 4))}));

  // After the member leaves, the listener on the connection is nobody's.
  LogOff(ann);
  EXPECT_FALSE(SendCAMMessage("Ann", "Chess", "Games Inc", 1));
  EXPECT_TRUE(Take(ann).empty());
  EXPECT_TRUE(SendCAMMessage("Bob", "Chess", "Games Inc", 0));
  EXPECT_EQ(Take(bob).size(), 1u);
  // A new member on the same connection gets its listener's rows.
  LogOn(ann, "Ann2");
  EXPECT_TRUE(SendCAMMessage("ann2", "Chess", "Games Inc", 2));
  EXPECT_EQ(Take(ann).size(), 1u);
  // Once the module stops, automation pushes answer false.
  CServiceCAM::TermModule();
  EXPECT_FALSE(CallSendCAMMessage("ann2", "Chess", "Games Inc", 2));
}

TEST_F(CamService, ARecordLongerThanOneRowAnswers1306AndSendsNothing) {
  // 32762 bytes fill the row of one frame exactly.
  WriteLibrary(LibraryWithRecordOf(32762 - 16));
  FakeConnection* c = Connect();
  Request(c, 1, "GetAppRecord", "A\x01V");
  auto sent = Take(c);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1].size(), 3u + 2 + 32762);
  EXPECT_EQ(sent[2], qn::EncodeEndPacket(1));

  WriteLibrary(LibraryWithRecordOf(32763 - 16));
  Request(c, 2, "GetAppRecord", "A\x01V");
  EXPECT_EQ(Take(c), (std::vector<std::vector<uint8_t>>{qn::EncodeResultPacket(2, 0x1306)}));
}

TEST_F(CamService, TheLibraryReloadsOnAnyChangeAndEmptiesWhenGone) {
  const ArchiveData one = qn::test::SimpleLibrary("One", "V", {"F"}, {});
  const ArchiveData two = qn::test::SimpleLibrary("Two", "V", {"F"}, {});
  ASSERT_EQ(one.size(), two.size());
  WriteLibrary(one);
  RefreshCamLibrary();
  ASSERT_NE(GetCamLibrary()->FindApp("One", "V"), nullptr);

  // Same size, same second: rewritten in place, only the nanoseconds differ.
  struct stat before;
  ASSERT_EQ(::stat(Library().c_str(), &before), 0);
  WriteFile(Library(), two);
  struct timespec times[2] = {before.st_mtim, before.st_mtim};
  times[1].tv_nsec = (before.st_mtim.tv_nsec + 1) % 1000000000;
  ASSERT_EQ(::utimensat(AT_FDCWD, Library().c_str(), times, 0), 0);
  RefreshCamLibrary();
  EXPECT_NE(GetCamLibrary()->FindApp("Two", "V"), nullptr);

  // Same bytes and times, another file.
  WriteLibrary(one);
  ASSERT_EQ(::utimensat(AT_FDCWD, Library().c_str(), times, 0), 0);
  RefreshCamLibrary();
  EXPECT_NE(GetCamLibrary()->FindApp("One", "V"), nullptr);

  fs::remove(Library());
  FakeConnection* c = Connect();
  Request(c, 1, "GetAppRecord", "One\x01V");
  EXPECT_EQ(Take(c), (std::vector<std::vector<uint8_t>>{qn::EncodeResultPacket(1, 0x1304)}));
  EXPECT_TRUE(GetCamLibrary()->m_apps.empty());
  WriteLibrary(two);
  Request(c, 2, "GetAppRecord", "two\x01v");
  EXPECT_EQ(Take(c).size(), 3u);
}

TEST_F(CamService, FileNamesAreTheCrcOfTheUpperCasedKeyText) {
  EXPECT_EQ(CamFileName("abc", "UCV"), "5CC2DA5A.UCV");
  EXPECT_EQ(CamFileName("ABC", "RTP"), "5CC2DA5A.RTP");
  EXPECT_EQ(CamFileName("", "UCV"), "00000000.UCV");
}

// Processes whose parent we are, running or ended and not waited for.
int Children() {
  int children = 0;
  const std::string self = std::to_string(::getpid());
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream status(entry.path() / "status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("PPid:", 0) == 0 && line.substr(line.find_first_not_of(" \t", 5)) == self) ++children;
  }
  return children;
}

TEST(CamClientApp, StartsThroughThePathAndReapsOrSaysItCouldNot) {
  qn::test::ScopedRoot root;
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  const fs::path bin = root.path() / "bin";
  fs::create_directories(bin);
  CServiceCAM service;

  setenv("PATH", bin.c_str(), 1);
  testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  service.RunClientApp();
  const auto took = std::chrono::steady_clock::now() - start;
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said, "Unable to run Quillnet Client Application Manager (QNCAM.EXE)\n");
  EXPECT_LT(took, std::chrono::seconds(5));

  const fs::path marker = root.path() / "ran";
  {
    std::ofstream script(bin / "QNCAM.EXE");
    script << "#!/bin/sh\necho \"$#\" > '" << marker.string() << "'\n";
  }
  fs::permissions(bin / "QNCAM.EXE", fs::perms::owner_all);
  testing::internal::CaptureStderr();
  service.RunClientApp();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  setenv("PATH", oldPath.c_str(), 1);
  bool ran = false;
  for (int i = 0; i < 500 && !ran; ++i) {
    std::ifstream in(marker);
    std::string args;
    ran = std::getline(in, args) && args == "0";  // started with no arguments
    if (!ran) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(ran);
  // The script has ended or soon will; unreaped, it would stay a zombie.
  int children = 1;
  for (int i = 0; i < 500 && children > 0; ++i) {
    children = Children();
    if (children) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(children, 0);
}

}  // namespace
