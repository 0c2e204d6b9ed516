// Uploads cut off, against the real server, for each service that takes
// them (file library, database media, mail attachments) in both storage
// modes: a connection reset right after a burst of data blocks ends the
// upload at once (its temporary file, its session and its descriptor go
// within two seconds), and a server killed in the middle of uploads leaves
// nothing of them after its next start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "server/core/frame_decoder.h"
#include "server/core/request_packet.h"
#include "support/database_seed.h"
#include "support/filelib_seed.h"
#include "support/mail_seed.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/server_process.h"

namespace {

namespace fs = std::filesystem;
using qn::client::Bytes;
using qn::client::Params;
using qn::client::ProtocolClient;
using qn::client::TableReply;
using qn::test::Code;
using qn::test::Ended;
using qn::test::MemberInstall;
using qn::test::StorageMode;
using Clock = std::chrono::steady_clock;

enum class Service { kFileLib, kDatabase, kEmail };
using Setting = std::tuple<Service, StorageMode>;

constexpr auto kPrompt = std::chrono::seconds(2);

// Names under the directory (at any depth) that an upload makes: its
// temporary file "QNS....TMP" and a reserved media name "QNS......".
std::vector<std::string> UploadFiles(const fs::path& directory) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(directory, ec); !ec && it != fs::end(it); it.increment(ec))
    if (it->path().filename().string().rfind("QNS", 0) == 0) found.push_back(it->path().filename());
  return found;
}

std::string Listed(const fs::path& directory) {
  std::string text;
  for (const std::string& name : UploadFiles(directory)) text += " " + name;
  return text;
}

size_t OpenDescriptors(pid_t pid) {
  std::error_code ec;
  size_t count = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec); !ec && it != fs::end(it);
       it.increment(ec))
    ++count;
  return count;
}

// Polls until `done` holds or the time is up.
template <class Done>
bool Within(Clock::duration limit, Done done) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class UploadCut : public ::testing::TestWithParam<Setting> {
 protected:
  void SetUp() override {
    if (std::get<1>(GetParam()) == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    port_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(std::get<1>(GetParam()), port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    switch (service()) {
      case Service::kFileLib: {
        qn::test::FileLibrarySeed seed(install_);
        seed.AddKey(11, "File Send", 0, true);
        seed.AddFolder({1, "Up", -1, -1, "C:\\lib\\up"});
        seed.SetUploadOptions(true, true, "C:\\lib\\up");
        directory_ = qn::test::FileLibrarySeed::OnDisk("C:\\lib");
        break;
      }
      case Service::kDatabase:
        database_ = std::make_unique<qn::test::DatabaseSeed>(install_);
        ASSERT_TRUE(database_->Create(&error)) << error;
        directory_ = database_->MediaDirectory();
        break;
      case Service::kEmail: {
        qn::test::MailSeed seed(install_);
        seed.AddComposeKey(0);
        seed.AddAccount("Rex");
        directory_ = MemberInstall::Root() / "var/lib/quillnet/QNMAIL";
        fs::create_directories(directory_);
        break;
      }
    }
    ASSERT_TRUE(StartServer());
    qn::test::Member creator;
    ASSERT_TRUE(creator.Open(port_));
    ASSERT_TRUE(Ended(creator.Call("Logon", "CreateAccount", {"Alice", "pw"})));
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }

  Service service() const { return std::get<0>(GetParam()); }
  bool StartServer() {
    const bool started = server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_);
    if (!started) ADD_FAILURE() << server_.StderrText();
    return started;
  }
  // Logged on as the uploader; false while the last session still stands.
  bool LogOn(qn::test::Member& member) {
    return member.Open(port_) && Ended(member.Call("Logon", "Logon", {"Alice", "pw"}));
  }

  // Starts the service's upload on request 50 and sends the file time; true
  // when the server answered with the upload's schema.
  bool StartUpload(qn::test::Member& member) {
    std::string item;
    std::vector<std::string> params;
    switch (service()) {
      case Service::kFileLib:
        item = "SendFile";
        params = {"cut" + std::to_string(++uploads_) + ".bin", "1", "", ""};
        break;
      case Service::kDatabase:
        item = "SetMedia";
        params = {"People", "1", "People.Photo"};
        break;
      case Service::kEmail: {
        const TableReply letter = member.Call("Email", "MailLtr", {"s", "n", "f.bin", "Rex"});
        if (letter.rows.size() != 1) return false;
        item = "UploadAttachedFile";
        params = {std::to_string(std::get<int32_t>(letter.rows[0][0]))};
        break;
      }
    }
    const char* services[] = {"FileLib", "Database", "Email"};
    if (!member.client.Request(50, services[static_cast<int>(service())], item, Params(params))) return false;
    const auto schema = member.client.ReadReply(15000);
    if (!schema || schema->type != qn::kPacketSchema) return false;
    return member.client.FollowUp(50, Bytes{0, 0, 0, 0x40});
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  std::unique_ptr<qn::test::DatabaseSeed> database_;
  fs::path directory_;
  qn::test::ServerProcess server_;
  int uploads_ = 0;
};

TEST_P(UploadCut, AResetAfterABurstOfDataBlocksEndsTheUploadAtOnce) {
  // A burst of 3 MB in blocks of 30,000 bytes, written at once.
  Bytes burst;
  const std::string block(30000, 'b');
  const auto packet = qn::EncodeIdPacket(qn::kPacketMoreData, 50, reinterpret_cast<const uint8_t*>(block.data()),
                                         block.size());
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(qn::EncodeFrame(packet.data(), packet.size(), burst));

  size_t descriptors = 0;
  for (int attempt = 0; attempt < 20; ++attempt) {
    auto member = std::make_unique<qn::test::Member>();
    ASSERT_TRUE(LogOn(*member)) << attempt;
    ASSERT_TRUE(StartUpload(*member)) << attempt;
    ASSERT_TRUE(Within(kPrompt, [&] { return !UploadFiles(directory_).empty(); })) << attempt;
    ASSERT_TRUE(member->client.SendRaw(burst)) << attempt;
    const linger reset{1, 0};
    ASSERT_EQ(::setsockopt(member->client.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    member->client.Close();

    EXPECT_TRUE(Within(kPrompt, [&] { return UploadFiles(directory_).empty(); }))
        << "attempt " << attempt << " left" << Listed(directory_);
    qn::test::Member again;
    EXPECT_TRUE(Within(kPrompt, [&] {
      again.client.Close();
      return LogOn(again);
    })) << "attempt " << attempt << ": the session stayed";
    again.client.Close();
    if (attempt == 0) descriptors = OpenDescriptors(server_.pid());
  }
  // Twenty cut connections later the server holds what it held after one.
  EXPECT_TRUE(Within(kPrompt, [&] { return OpenDescriptors(server_.pid()) <= descriptors; }))
      << OpenDescriptors(server_.pid()) << " descriptors, " << descriptors << " after the first";
}

TEST_P(UploadCut, WhatAKilledServerWasUploadingIsGoneAfterItsNextStart) {
  auto first = std::make_unique<qn::test::Member>();
  ASSERT_TRUE(LogOn(*first));
  ASSERT_TRUE(StartUpload(*first));
  ASSERT_TRUE(first->client.FollowUp(50, std::string(5000, 'k')));
  // The database's text media also reserve their final name beside the
  // temporary file.
  const size_t made = service() == Service::kDatabase ? 2 : 1;
  ASSERT_TRUE(Within(kPrompt, [&] { return UploadFiles(directory_).size() == made; }));
  EXPECT_EQ(server_.Stop(SIGKILL), 128 + SIGKILL);
  first.reset();
  EXPECT_EQ(UploadFiles(directory_).size(), made);

  ASSERT_TRUE(StartServer());
  EXPECT_TRUE(Within(kPrompt, [&] { return UploadFiles(directory_).empty(); })) << Listed(directory_);
  // And the server takes uploads as before.
  qn::test::Member member;
  ASSERT_TRUE(LogOn(member));
  ASSERT_TRUE(StartUpload(member));
  ASSERT_TRUE(member.client.FollowUp(50, std::string(100, 'x')));
  ASSERT_TRUE(member.client.FollowUp(50, Bytes{}));
  const auto done = qn::client::ReadTable(member.client, 50, 15000);
  ASSERT_TRUE(done.has_value());
  EXPECT_TRUE(Ended(*done)) << Code(*done);
  EXPECT_TRUE(UploadFiles(directory_).empty());
}

std::string Name(const ::testing::TestParamInfo<Setting>& info) {
  const char* services[] = {"FileLib", "Database", "Email"};
  return std::string(services[static_cast<int>(std::get<0>(info.param))]) +
         (std::get<1>(info.param) == StorageMode::Access ? "Access" : "Postgres");
}

INSTANTIATE_TEST_SUITE_P(EachUploadingService, UploadCut,
                         ::testing::Combine(::testing::Values(Service::kFileLib, Service::kDatabase,
                                                              Service::kEmail),
                                            ::testing::Values(StorageMode::Access, StorageMode::Postgres)),
                         Name);

}  // namespace
