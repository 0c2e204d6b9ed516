// The file library against the real server, in both storage modes: file
// lists in every order, folder keys, the folder tree, details, keywords,
// downloads with their charges and counts, uploads with their rows, and
// uploads that cannot complete leaving nothing behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/data/folder_tree.h"
#include "support/filelib_seed.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

namespace {

namespace fs = std::filesystem;
using qn::client::Bytes;
using qn::client::Params;
using qn::client::ProtocolClient;
using qn::client::TableReply;
using qn::test::FileLibrarySeed;
using qn::test::MemberInstall;
using qn::test::StorageMode;

constexpr std::time_t kDay = 86400;
constexpr std::time_t kD1 = 1000000000, kD2 = kD1 + kDay, kD3 = kD2 + kDay, kD4 = kD3 + kDay;
constexpr uint16_t kNoFolderOrFile = 0x1307;

std::string Text(const qn::DecodedValue& value) { return std::get<std::string>(value); }
int32_t Number(const qn::DecodedValue& value) { return std::get<int32_t>(value); }
using qn::test::Code;
using qn::test::Ended;
using qn::test::Wire;

// A column of a table reply, as numbers.
std::vector<int32_t> Numbers(const TableReply& reply, size_t column) {
  std::vector<int32_t> values;
  for (const auto& row : reply.rows) values.push_back(Number(row[column]));
  return values;
}

// A member's client with the file library's requests and transfers.
class Member : public qn::test::Member {
 public:
  bool Open(uint16_t port, uint8_t flags) {
    return client.Connect(port) && client.Hello(flags).has_value();
  }
  TableReply Lib(const std::string& item, const std::vector<std::string>& params = {}) {
    return Call("FileLib", item, params);
  }
  int32_t Credits() {
    const TableReply reply = Call("Account", "GetCredits");
    return reply.rows.size() == 1 ? Number(reply.rows[0][0]) : -1;
  }
  // The file's bytes, after checking the rows announced; "code N" on refusal.
  std::string Download(int32_t fileId, std::time_t* modified = nullptr) {
    const TableReply reply = Lib("ReceiveFile", {"x", std::to_string(fileId)});
    if (reply.result) return "code " + std::to_string(*reply.result);
    EXPECT_TRUE(reply.ended);
    if (!reply.schema || reply.rows.empty()) return "no rows";
    EXPECT_EQ(reply.schema->rowCount, static_cast<int32_t>(reply.rows.size()));
    const auto& stamp = std::get<std::vector<uint8_t>>(reply.rows[0][0]);
    if (modified != nullptr && stamp.size() == 4) *modified = qn::GetU32(stamp.data());
    std::string data;
    for (size_t i = 1; i < reply.rows.size(); ++i) {
      const auto& bytes = std::get<std::vector<uint8_t>>(reply.rows[i][0]);
      EXPECT_LE(bytes.size(), 768u);
      data.append(bytes.begin(), bytes.end());
    }
    return data;
  }
  // Starts an upload and sends the time and the data; `finish` sends the
  // closing empty block. The reply so far: the schema, or a refusal.
  TableReply StartUpload(uint16_t id, const std::vector<std::string>& params,
                         const std::string& data, uint32_t time) {
    EXPECT_TRUE(client.Request(id, "FileLib", "SendFile", Params(params)));
    TableReply reply;
    auto first = client.ReadReply(15000);
    if (!first) return reply;
    if (first->type == qn::kPacketResult) {
      reply.result = qn::GetU16(first->body.data());
      return reply;
    }
    reply.schema = qn::DecodeSchema(first->body.data(), first->body.size());
    const Bytes stamp{static_cast<uint8_t>(time), static_cast<uint8_t>(time >> 8),
                      static_cast<uint8_t>(time >> 16), static_cast<uint8_t>(time >> 24)};
    EXPECT_TRUE(client.FollowUp(id, stamp));
    for (size_t at = 0; at < data.size(); at += 30000)
      EXPECT_TRUE(client.FollowUp(id, data.substr(at, 30000)));
    return reply;
  }
  TableReply Upload(const std::vector<std::string>& params, const std::string& data,
                    uint32_t time = kD1) {
    const uint16_t id = nextId++;
    TableReply started = StartUpload(id, params, data, time);
    if (!started.schema) return started;
    EXPECT_TRUE(client.FollowUp(id, Bytes{}));
    auto rest = qn::client::ReadTable(client, id, 15000);
    EXPECT_TRUE(rest.has_value());
    return rest.value_or(TableReply{});
  }
};

class FileLibrary : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    port_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    seed_ = std::make_unique<FileLibrarySeed>(install_);
    Seed(*seed_);
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    if (HasFailure()) {
      ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
    }
  }

  static void Seed(FileLibrarySeed& s) {
    s.AddKey(10, "File Receive", 3, true);
    s.AddKey(11, "File Send", 1, true);
    s.AddKey(12, "Members Area", 7, true);
    s.AddKey(13, "Staff Area", 0, false);
    s.AddKey(0, "Key Zero", 0, false);
    s.GiveKey("Zed", 0);
    s.AddFolder({1, "Public", -1, 0, "C:\\lib\\public"});
    s.AddFolder({2, "Zeta", -1, 0, "C:\\lib\\zeta"});
    s.AddFolder({3, "Docs", 0, -1, "C:\\lib\\docs"});
    s.AddFolder({4, "Keyed", 0, 12, "C:\\lib\\keyed"});
    s.AddFolder({5, "Hidden", 0, 13, "C:\\lib\\hidden"});
    s.AddFolder({6, "ZeroKey", 0, 0, "C:\\lib\\zero"});
    s.AddFolder({7, "Deep", 3, -1, "C:\\lib\\deep"});
    s.AddFolder({8, "Secret", 5, -1, "C:\\lib\\secret"});
    s.AddFolder({9, "UnderZero", 6, -1, "C:\\lib\\underzero"});
    s.AddFolder({10, "Leaf", 7, -1, "C:\\lib\\leaf"});
    const std::string docs = "C:\\lib\\docs";
    s.AddFile({1, "alpha.txt", docs, std::string(400, 'a'), kD2, "Dora", "first file",
               "A 'quoted' long text", kD4},
              {3});
    s.AddFile({2, "beta.doc", docs, std::string(100, 'b'), kD4, "Bert", "", "", kD4}, {3});
    s.AddFile({3, "gamma.bin", docs, std::string(300, 'g'), kD1, "Carl", "", "", kD4}, {3});
    s.AddFile({4, "delta.ace", docs, std::string(200, 'd'), kD3, "Anna", "", "", kD4}, {3});
    std::string keyed;
    for (int i = 0; i < 2000; ++i) keyed += static_cast<char>(i * 7 % 256);
    s.AddFile({5, "keyed.dat", "C:\\lib\\keyed", keyed, kD3, "Dora", "", "", kD4}, {4});
    s.AddFile({6, "twin.txt", "C:\\lib\\keyed", "twin", kD3, "Dora", "", "", kD4}, {5, 4});
    s.AddFile({7, "zero.txt", "C:\\lib\\zero", "zero", kD3, "Dora", "", "", kD4}, {6});
    s.AddFile({8, "gone.txt", "C:\\lib\\deep", "gone", kD3, "Dora", "", "", kD4}, {7});
    fs::remove(FileLibrarySeed::OnDisk("C:\\lib\\deep\\gone.txt"));
    s.AddKeyword(1, "first");
    s.AddKeyword(1, "O'Quote");
    s.AddKeyword(1, "caf\xE9");
    s.SetUploadOptions(true, true, "C:\\lib\\incoming");
  }

  std::unique_ptr<Member> Create(const std::string& id, uint8_t flags = 0) {
    auto member = std::make_unique<Member>();
    EXPECT_TRUE(member->Open(port_, flags));
    EXPECT_TRUE(Ended(member->Call("Logon", "CreateAccount", {id, "pw"}))) << id;
    return member;
  }
  std::string QueryFile(const std::string& sql) { return install_.Query("QNFILE", sql); }
  long CountFile(const std::string& sql) { return install_.Count("QNFILE", sql); }
  // Names in a library directory, sorted.
  static std::vector<std::string> Names(const std::string& systemPath) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(FileLibrarySeed::OnDisk(systemPath)))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // The server may still be closing a request: waits for the names.
  static bool AwaitNames(const std::string& systemPath, const std::vector<std::string>& want) {
    for (int i = 0; i < 100 && Names(systemPath) != want; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return Names(systemPath) == want;
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  std::unique_ptr<FileLibrarySeed> seed_;
  qn::test::ServerProcess server_;
};

TEST_P(FileLibrary, FilesListInEveryOrderWhereTheFolderKeyAllows) {
  auto ann = Create("Ann");
  const struct {
    const char* item;
    std::vector<int32_t> ids;
  } orders[] = {
      {"GetFiles4FolderByNameAsc", {1, 2, 4, 3}},   {"GetFiles4FolderByNameDesc", {3, 4, 2, 1}},
      {"GetFiles4FolderByExtAsc", {4, 3, 2, 1}},    {"GetFiles4FolderByExtDesc", {1, 2, 3, 4}},
      {"GetFiles4FolderBySizeAsc", {2, 4, 3, 1}},   {"GetFiles4FolderBySizeDesc", {1, 3, 4, 2}},
      {"GetFiles4FolderByDateAsc", {3, 1, 4, 2}},   {"GetFiles4FolderByDateDesc", {2, 4, 1, 3}},
      {"GetFiles4FolderBySenderAsc", {4, 2, 3, 1}}, {"GetFiles4FolderBySenderDesc", {1, 3, 2, 4}},
  };
  for (const auto& order : orders) {
    const TableReply list = ann->Lib(order.item, {"3"});
    ASSERT_TRUE(Ended(list)) << order.item << " code " << Code(list);
    EXPECT_EQ(Numbers(list, 0), order.ids) << order.item;
  }
  const TableReply list = ann->Lib("getfiles4folderbynameasc", {"3"});
  ASSERT_TRUE(list.schema);
  EXPECT_EQ(list.schema->rowCount, -1);
  const std::vector<std::pair<uint8_t, std::string>> columns = {
      {kColumnLong, "FileID"},   {kColumnString, "FileName"},   {kColumnDate, "LastModified"},
      {kColumnLong, "FileSize"}, {kColumnString, "UploadedBy"}, {kColumnString, "ShortDescription"}};
  ASSERT_EQ(list.schema->columns.size(), columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    EXPECT_EQ(list.schema->columns[i].type, columns[i].first);
    EXPECT_EQ(list.schema->columns[i].name, columns[i].second);
  }
  ASSERT_EQ(list.rows.size(), 4u);
  EXPECT_EQ(Text(list.rows[0][1]), "alpha.txt");
  EXPECT_EQ(Number(list.rows[0][2]), kD2);
  EXPECT_EQ(Number(list.rows[0][3]), 400);
  EXPECT_EQ(Text(list.rows[0][4]), "Dora");
  EXPECT_EQ(Text(list.rows[0][5]), "first file");

  // A held key (12), ReadKeyID 0 (no key needed for lists), a key not held,
  // a missing folder, and text that is no number (folder 0).
  EXPECT_EQ(Numbers(ann->Lib("GetFiles4FolderByNameAsc", {"4"}), 0), (std::vector<int32_t>{5, 6}));
  EXPECT_EQ(Numbers(ann->Lib("GetFiles4FolderByNameAsc", {"6"}), 0), (std::vector<int32_t>{7}));
  for (const char* folder : {"5", "99", "abc"})
    EXPECT_EQ(Code(ann->Lib("GetFiles4FolderByNameAsc", {folder})), kNoFolderOrFile) << folder;
  const TableReply empty = ann->Lib("GetFiles4FolderByNameAsc", {"1"});
  EXPECT_TRUE(Ended(empty) && empty.schema && empty.rows.empty());
  EXPECT_EQ(Code(ann->Lib("GetFiles4FolderByNameAsc", {"3", "x"})), 0x1304);
  EXPECT_EQ(Code(ann->Lib("GetFiles4FolderByMood", {"3"})), 0x1303);

  // Key costs: 'File Send', a key by id, and 0 for a key that is not there.
  const std::vector<std::pair<TableReply, int32_t>> costs = {
      {ann->Lib("GetSendCredit", {""}), 1},
      {ann->Lib("GetKeyCost", {"12"}), 7},
      {ann->Lib("GetKeyCost", {"999"}), 0}};
  for (const auto& [reply, cost] : costs) {
    ASSERT_TRUE(Ended(reply) && reply.schema);
    EXPECT_EQ(reply.schema->rowCount, 1);
    ASSERT_EQ(reply.rows.size(), 1u);
    EXPECT_EQ(Number(reply.rows[0][0]), cost);
  }
  EXPECT_EQ(Code(ann->Lib("GetSendCredit", {"a", "b"})), 0x1304);
}

TEST_P(FileLibrary, DetailsDescriptionsAndKeywordsFollowTheFirstLink) {
  auto ann = Create("Ann");
  const TableReply details = ann->Lib("GetFileDetails", {"1"});
  ASSERT_TRUE(Ended(details));
  ASSERT_EQ(details.rows.size(), 1u);
  EXPECT_EQ(Text(details.rows[0][0]), "alpha.txt");
  EXPECT_EQ(Number(details.rows[0][1]), kD2);
  EXPECT_EQ(Number(details.rows[0][2]), 400);
  EXPECT_EQ(Text(details.rows[0][3]), "Dora");
  EXPECT_EQ(Text(details.rows[0][4]), "first file");
  EXPECT_EQ(Number(details.rows[0][5]), kD4);
  EXPECT_EQ(details.schema->columns[5].name, "DateUploaded");

  const TableReply description = ann->Lib("GetLongDescriptionForFile", {"1"});
  ASSERT_TRUE(Ended(description));
  EXPECT_EQ(description.schema->rowCount, 1);
  EXPECT_EQ(description.schema->columns[0].name, "m_Description");
  ASSERT_EQ(description.rows.size(), 1u);
  EXPECT_EQ(Text(description.rows[0][0]), "A 'quoted' long text");

  const TableReply keywords = ann->Lib("GetKeywordsForFile", {"1"});
  ASSERT_TRUE(Ended(keywords));
  std::vector<std::string> words;
  for (const auto& row : keywords.rows) words.push_back(Text(row[1]));
  EXPECT_EQ(words, (std::vector<std::string>{"first", "O'Quote", "caf\xE9"}));

  const TableReply count = ann->Lib("GetDownloadCountForFile", {"1"});
  ASSERT_TRUE(Ended(count));
  EXPECT_EQ(count.schema->columns[0].name, "CountofFileID");
  EXPECT_EQ(count.schema->rowCount, 1);
  EXPECT_EQ(Numbers(count, 0), (std::vector<int32_t>{0}));

  // twin.txt is linked first to a folder Ann cannot open, then to one she
  // can; a file without links, and no number at all, are missing.
  for (const char* item : {"GetFileDetails", "GetLongDescriptionForFile", "GetKeywordsForFile",
                           "GetDownloadCountForFile"}) {
    EXPECT_EQ(Code(ann->Lib(item, {"6"})), kNoFolderOrFile) << item;
    EXPECT_EQ(Code(ann->Lib(item, {"99"})), kNoFolderOrFile) << item;
    EXPECT_EQ(Code(ann->Lib(item, {"x"})), kNoFolderOrFile) << item;
    EXPECT_EQ(Code(ann->Lib(item, {"1", "1"})), 0x1304) << item;
  }
  EXPECT_TRUE(Ended(ann->Lib("GetFileDetails", {"7"})));  // ReadKeyID 0
}

TEST_P(FileLibrary, FolderTreeIsBreadthFirstWithHiddenBranchesLeftOut) {
  auto ann = Create("Ann");
  auto zed = Create("Zed");  // holds key id 0
  auto ids = [](const TableReply& reply) { return Numbers(reply, 2); };
  const TableReply whole = ann->Lib("GetFolderTree");
  ASSERT_TRUE(Ended(whole));
  // Two top-level folders both stand for the folders below them: those are
  // listed once.
  EXPECT_EQ(ids(whole), (std::vector<int32_t>{1, 2, 3, 4, 7, 10}));
  EXPECT_EQ(Numbers(whole, 0), (std::vector<int32_t>{-1, -1, 0, 0, 3, 7}));
  EXPECT_EQ(Numbers(whole, 3), (std::vector<int32_t>{0, 0, -1, 12, -1, -1}));
  EXPECT_EQ(Text(whole.rows[4][1]), "Deep");
  EXPECT_EQ(whole.schema->columns[3].name, "FolderKeyID");
  EXPECT_EQ(ids(zed->Lib("GetFolderTree", {""})),
            (std::vector<int32_t>{1, 2, 3, 4, 6, 7, 9, 10}));

  EXPECT_EQ(ids(ann->Lib("GetFolderTree", {"Public\\Docs"})), (std::vector<int32_t>{3, 7, 10}));
  EXPECT_EQ(ids(ann->Lib("GetFolderTree", {"zeta\\DOCS\\deep"})), (std::vector<int32_t>{7, 10}));
  for (const char* path : {"Public\\Nothing", "Public\\Hidden\\Secret", "Nowhere", "Public\\"}) {
    const TableReply none = ann->Lib("GetFolderTree", {path});
    EXPECT_TRUE(Ended(none) && none.schema && none.rows.empty()) << path;
  }
  EXPECT_EQ(ids(zed->Lib("GetFolderTree", {"Public\\ZeroKey"})), (std::vector<int32_t>{6, 9}));

  // Walks cancelled at once, or cut off with their connection, cost their
  // member nothing further.
  for (uint16_t id = 700; id < 710; ++id) {
    ASSERT_TRUE(ann->client.Request(id, "FileLib", "GetFolderTree"));
    ASSERT_TRUE(ann->client.Cancel(id));
  }
  ASSERT_TRUE(zed->client.Request(710, "FileLib", "GetFiles4FolderByNameAsc", "3"));
  zed.reset();
  EXPECT_EQ(ids(ann->Lib("GetFolderTree")), (std::vector<int32_t>{1, 2, 3, 4, 7, 10}));
}

TEST_P(FileLibrary, FolderTreeIsTheSameReadWholeOrLevelByLevel) {
  auto ann = Create("Ann");
  auto zed = Create("Zed");  // holds key id 0
  // Equal names but for case at the top; a level whose ids are not in the
  // order of insertion; folder 0 below Docs stands for the top level's
  // children, Docs among them; folder -1 stands for the top level.
  seed_->AddFolder({11, "public", -1, 0, "C:\\lib\\public2"});
  seed_->AddFolder({13, "Later", 3, -1, "C:\\lib\\later"});
  seed_->AddFolder({12, "Earlier", 3, -1, "C:\\lib\\earlier"});
  seed_->AddFolder({0, "Zero", 3, -1, "C:\\lib\\zero0"});
  seed_->AddFolder({-1, "Minus", 10, -1, "C:\\lib\\minus"});
  const std::vector<std::string> paths = {
      "",          "PUBLIC\\docs\\DEEP", "Public\\\\Docs", "\\Public",         "Public\\",
      "Nowhere",   "public",             "Zeta\\Docs\\Zero\\Docs", "Public\\Hidden\\Secret",
      "Public\\ZeroKey", "Public\\Docs\\Deep\\Leaf\\Minus\\Zeta"};
  auto answers = [&] {
    std::vector<std::string> wire;
    for (Member* member : {ann.get(), zed.get()})
      for (const std::string& path : paths) wire.push_back(Wire(member->Lib("GetFolderTree", {path})));
    return wire;
  };
  const std::vector<std::string> whole = answers();
  auto ids = [](const TableReply& reply) { return Numbers(reply, 2); };
  EXPECT_EQ(ids(ann->Lib("GetFolderTree")),
            (std::vector<int32_t>{1, 11, 2, 3, 4, 0, 7, 12, 13, 10, -1, 1, 2, 11}));
  EXPECT_EQ(ids(ann->Lib("GetFolderTree", {"public"})),
            (std::vector<int32_t>{1, 3, 4, 0, 7, 12, 13, 10, -1, 1, 2, 11}));
  EXPECT_EQ(ids(ann->Lib("GetFolderTree", {"Public\\Docs\\Deep\\Leaf\\Minus\\Zeta"})),
            (std::vector<int32_t>{2}));

  // Rows no walk reaches push the table over what a walk holds in memory:
  // each level is then read by its own statement, with the same answers.
  install_.Exec("QNFILE",
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i <= " +
                    std::to_string(kFolderRowsInMemory) +
                    ") INSERT INTO Directories (DirectoryID, DirectoryName, ParentDirectory, "
                    "ReadKeyID, UploadPath) SELECT 1000 + i, 'filler', -7, -1, '' FROM n");
  ASSERT_GT(CountFile("SELECT DirectoryID FROM Directories"),
            static_cast<long>(kFolderRowsInMemory));
  const std::vector<std::string> byLevel = answers();
  for (size_t i = 0; i < whole.size(); ++i)
    EXPECT_EQ(byLevel[i], whole[i]) << paths[i % paths.size()];
}

TEST_P(FileLibrary, DownloadsAreChargedAndCountedOnceTheirLastRowIsQueued) {
  auto ann = Create("Ann");
  std::time_t modified = 0;
  // Docs needs no key: "File Receive" costs 3. Keyed costs its key's 7;
  // ReadKeyID 0 needs no key.
  EXPECT_EQ(ann->Download(3, &modified), std::string(300, 'g'));
  EXPECT_EQ(modified, kD1);
  EXPECT_EQ(ann->Credits(), 997);
  std::string keyed;
  for (int i = 0; i < 2000; ++i) keyed += static_cast<char>(i * 7 % 256);
  EXPECT_EQ(ann->Download(5), keyed);  // 1 + 3 rows
  EXPECT_EQ(ann->Credits(), 990);
  EXPECT_EQ(ann->Download(7), "zero");
  EXPECT_EQ(ann->Credits(), 987);
  EXPECT_EQ(QueryFile("SELECT DownloadedBy FROM Downloads WHERE FileID=3"), "Ann");
  EXPECT_EQ(CountFile("SELECT * FROM Downloads WHERE FileID=3 AND DateDownloaded IS NOT NULL"), 1);
  EXPECT_EQ(Numbers(ann->Lib("GetDownloadCountForFile", {"5"}), 0), (std::vector<int32_t>{1}));

  EXPECT_EQ(ann->Download(8), "code " + std::to_string(0x1306));  // gone from disk
  EXPECT_EQ(ann->Download(6), "code " + std::to_string(kNoFolderOrFile));
  EXPECT_EQ(ann->Download(99), "code " + std::to_string(kNoFolderOrFile));
  EXPECT_EQ(Code(ann->Lib("ReceiveFile", {"5"})), 0x1304);
  EXPECT_EQ(ann->Credits(), 987);

  // A client that pulls each block and then neither pulls the end nor
  // stays has had the file; one that cancels before the last row has not.
  auto zed = Create("Zed", qn::kHelloFlagAckBlocks);
  ProtocolClient& client = zed->client;
  auto startKeyed = [&](uint16_t id) {
    ASSERT_TRUE(client.Request(id, "FileLib", "ReceiveFile", Params({"", "5"})));
    ASSERT_TRUE(client.ReadReply());  // schema
    ASSERT_TRUE(client.ReadReply());  // time row
  };
  startKeyed(500);
  for (int piece = 0; piece < 3; ++piece) {
    ASSERT_TRUE(client.FollowUp(500, Bytes{}));
    ASSERT_TRUE(client.ReadReply());
  }
  EXPECT_EQ(zed->Credits(), 993);
  ASSERT_TRUE(client.Cancel(500));
  startKeyed(501);
  ASSERT_TRUE(client.FollowUp(501, Bytes{}));
  ASSERT_TRUE(client.ReadReply());
  ASSERT_TRUE(client.Cancel(501));
  EXPECT_EQ(zed->Credits(), 993);
  EXPECT_EQ(CountFile("SELECT * FROM Downloads WHERE FileID=5"), 2);
  EXPECT_EQ(CountFile("SELECT * FROM Downloads WHERE DownloadedBy='Zed'"), 1);
}

TEST_P(FileLibrary, UploadStoresItsFileRowKeywordsAndLink) {
  auto ann = Create("Ann");
  const std::string name = "O'Neil \"draft\" caf\xE9.txt";
  std::string data;
  for (int i = 0; i < 1000; ++i) data += static_cast<char>(i % 251);
  const TableReply done =
      ann->Upload({name, "3", "it's short", "long ''text''", "k'1", "caf\xE9", "last"}, data, kD2);
  ASSERT_TRUE(Ended(done)) << "code " << Code(done);
  EXPECT_EQ(ann->Credits(), 1000);  // uploads are not charged

  const std::string where = " FROM Files WHERE FileName=" + FileLibrarySeed::Quote(name);
  const std::string id = QueryFile("SELECT FileID" + where);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(QueryFile("SELECT FileExtension" + where), "txt");
  EXPECT_EQ(QueryFile("SELECT FileSize" + where), "1000");
  EXPECT_EQ(QueryFile("SELECT UploadedBy" + where), "Ann");
  EXPECT_EQ(QueryFile("SELECT FileLocation" + where), "C:\\lib\\docs");
  EXPECT_EQ(QueryFile("SELECT SuggFolder" + where), "3");
  EXPECT_EQ(QueryFile("SELECT LongDescription" + where), "long ''text''");
  EXPECT_EQ(CountFile("SELECT *" + where + " AND DateUploaded IS NOT NULL AND DateApproved IS NOT NULL"), 1);
  EXPECT_EQ(CountFile("SELECT * FROM Files2Directories WHERE DirectoryID=3 AND FileID=" + id), 1);
  const fs::path disk = FileLibrarySeed::OnDisk("C:\\lib\\docs\\" + name);
  struct stat st;
  ASSERT_EQ(::stat(disk.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, kD2);

  // Through the service: its details, keywords in order, and the bytes.
  const TableReply details = ann->Lib("GetFileDetails", {id});
  ASSERT_EQ(details.rows.size(), 1u);
  EXPECT_EQ(Text(details.rows[0][0]), name);
  EXPECT_EQ(Number(details.rows[0][1]), kD2);
  EXPECT_EQ(Text(details.rows[0][4]), "it's short");
  std::vector<std::string> words;
  for (const auto& row : ann->Lib("GetKeywordsForFile", {id}).rows) words.push_back(Text(row[1]));
  EXPECT_EQ(words, (std::vector<std::string>{"k'1", "caf\xE9", "last"}));
  EXPECT_EQ(ann->Download(std::stoi(id)), data);

  // No dot: the whole name is the extension. A negative folder takes the
  // upload options' path and gets no link; without AutoApprove no approval.
  seed_->SetUploadOptions(false, true, "C:\\lib\\incoming");
  ASSERT_TRUE(Ended(ann->Upload({"README", "-1", "", ""}, "read me")));
  const std::string readme = QueryFile("SELECT FileID FROM Files WHERE FileName='README'");
  EXPECT_EQ(QueryFile("SELECT FileExtension FROM Files WHERE FileID=" + readme), "README");
  EXPECT_EQ(QueryFile("SELECT FileLocation FROM Files WHERE FileID=" + readme), "C:\\lib\\incoming");
  EXPECT_EQ(CountFile("SELECT * FROM Files WHERE FileID=" + readme + " AND DateApproved IS NULL"), 1);
  EXPECT_EQ(CountFile("SELECT * FROM Files2Directories WHERE FileID=" + readme), 0);
  EXPECT_EQ(CountFile("SELECT * FROM Keywords WHERE FileID=" + readme), 0);
  EXPECT_EQ(Names("C:\\lib\\incoming"), (std::vector<std::string>{"README"}));
}

TEST_P(FileLibrary, UploadsThatCannotCompleteLeaveNeitherFileNorRows) {
  auto ann = Create("Ann");
  const std::vector<std::string> docs = {"alpha.txt", "beta.doc", "delta.ace", "gamma.bin"};
  const long files = CountFile("SELECT * FROM Files");
  auto nothingLeft = [&](const char* what) {
    EXPECT_TRUE(AwaitNames("C:\\lib\\docs", docs)) << what;
    EXPECT_EQ(CountFile("SELECT * FROM Files"), files) << what;
    EXPECT_EQ(CountFile("SELECT * FROM Keywords WHERE FileID > 8"), 0) << what;
    EXPECT_EQ(CountFile("SELECT * FROM Files2Directories WHERE FileID > 8"), 0) << what;
  };

  // Refused before anything is written: names that are not bare names, a
  // name taken in any case, a missing folder.
  const std::vector<std::string> refusedNames = {
      "", ".", "..", "..\\up.txt", "a/b", "c:x", "tab\tname", "ALPHA.TXT", std::string(256, 'n')};
  for (const std::string& name : refusedNames)
    EXPECT_EQ(Code(ann->Upload({name, "3", "", ""}, "x")), 0x1306) << name;
  EXPECT_EQ(Code(ann->Upload({"new.txt", "99", "", ""}, "x")), kNoFolderOrFile);
  EXPECT_EQ(Code(ann->Lib("SendFile", {"new.txt", "3", ""})), 0x1304);
  nothingLeft("refusals");

  // Cancelled, or cut off with the connection.
  ASSERT_TRUE(ann->StartUpload(600, {"cancel.txt", "3", "", ""}, "part", kD1).schema);
  ASSERT_TRUE(ann->client.Cancel(600));
  {
    auto gone = Create("Gone");
    ASSERT_TRUE(gone->StartUpload(601, {"cut.txt", "3", "", ""}, "part", kD1).schema);
  }
  nothingLeft("cancelled");

  // The name taken while the data came: the other file stays.
  ASSERT_TRUE(ann->StartUpload(602, {"late.txt", "3", "", ""}, "mine", kD1).schema);
  std::ofstream(FileLibrarySeed::OnDisk("C:\\lib\\docs\\LATE.TXT")) << "theirs";
  ASSERT_TRUE(ann->client.FollowUp(602, Bytes{}));
  auto late = qn::client::ReadTable(ann->client, 602, 15000);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->result, 0x1306);
  fs::remove(FileLibrarySeed::OnDisk("C:\\lib\\docs\\LATE.TXT"));
  nothingLeft("name taken");

  // A Keywords row that cannot be written takes the Files row and the
  // keywords written before it along.
  if (GetParam() == StorageMode::Access) {
    install_.Exec("QNFILE",
                  "CREATE TRIGGER no_boom BEFORE INSERT ON Keywords WHEN NEW.Keyword = 'boom' "
                  "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  } else {
    install_.Exec("QNFILE",
                  "CREATE FUNCTION no_boom() RETURNS trigger AS $$ BEGIN IF NEW.Keyword = 'boom' "
                  "THEN RAISE EXCEPTION 'refused'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql");
    install_.Exec("QNFILE",
                  "CREATE TRIGGER no_boom BEFORE INSERT ON Keywords FOR EACH ROW EXECUTE "
                  "FUNCTION no_boom()");
  }
  EXPECT_EQ(Code(ann->Upload({"boom.txt", "3", "", "", "fine", "boom"}, "data")), 0x1306);
  nothingLeft("keyword refused");

  // A block that cannot be written (a file size limit stands in for a full
  // disk) fails the upload.
  struct rlimit limit = {8 << 20, RLIM_INFINITY};
  ASSERT_EQ(::prlimit(server_.pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  EXPECT_EQ(Code(ann->Upload({"big.bin", "3", "", ""}, std::string(9 << 20, 'b'))), 0x1306);
  limit.rlim_cur = RLIM_INFINITY;
  ASSERT_EQ(::prlimit(server_.pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  nothingLeft("block not written");

  // Without an UploadOptions row the upload cannot be completed.
  install_.Exec("QNFILE", "DELETE FROM UploadOptions");
  EXPECT_EQ(Code(ann->Upload({"plain.txt", "3", "", ""}, "data")), 0x1306);
  EXPECT_EQ(Code(ann->Upload({"plain.txt", "-1", "", ""}, "data")), 0x1306);
  nothingLeft("no upload options");

  // A member without the "File Send" key.
  install_.ExecAccount("INSERT INTO Accounts (UserID, Password, Credits) VALUES ('Nokey', 'pw', 10)");
  Member nokey;
  ASSERT_TRUE(nokey.Open(port_, 0));
  ASSERT_TRUE(Ended(nokey.Call("Logon", "Logon", {"Nokey", "pw"})));
  EXPECT_EQ(Code(nokey.Lib("SendFile", {"k.txt", "3", "", ""})), kNoFolderOrFile);
  EXPECT_EQ(Code(nokey.Lib("ReceiveFile", {"", "1"})), kNoFolderOrFile);
  EXPECT_EQ(Code(nokey.Lib("SendFile", {"k.txt"})), kNoFolderOrFile);  // the key comes first

  // After all of it the server serves as before.
  EXPECT_EQ(ann->Download(3), std::string(300, 'g'));
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, FileLibrary,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) {
                           return std::string(info.param == StorageMode::Access ? "Access"
                                                                                : "Postgres");
                         });

}  // namespace
