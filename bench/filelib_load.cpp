// Load generator for the file library against a real qnsvr32:
//
//   (a) 50 logged-on members alternating "FileLib" "GetFolderTree" of a
//       21-folder tree (one top-level folder, four below it, four below
//       each of those) and "GetFiles4FolderByNameAsc" of a folder of 20
//       files, each sending its next request when the last has ended;
//       requests per second with p50/p99, beside redis-benchmark's
//       "LRANGE key 0 19" of a 20-element list with 50 clients on a
//       redis-server this program starts, and the ratio; in each storage
//       mode (PostgreSQL when scripts/pg-test-server's environment is
//       present).
//   (b) one member's download ("ReceiveFile", pushed in 768-byte rows) and
//       upload ("SendFile", blocks of 32764 bytes) of a file of --size MiB,
//       in MiB/s, beside a plain copy of the same file on the same disk with
//       64 KiB reads and writes, and the ratios; each the best of three.
//
//   filelib_load [--seconds S] [--size MiB] [--mode access|pg|both]
//
// Exit code 0 when the ratio of (a) on SQLite is at least 0.1, the
// download's at least 0.2 and the upload's at least 0.35.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "server/data/folder_tree.h"
#include "support/bench_flags.h"
#include "support/bench_support.h"
#include "support/filelib_seed.h"

using qn::bench::Clock;
using qn::bench::Figures;
using qn::client::ProtocolClient;
using qn::test::FileLibrarySeed;
using qn::test::MemberInstall;
using qn::test::StorageMode;

namespace {

namespace fs = std::filesystem;

struct Options {
  int seconds = 5;
  int sizeMiB = 64;
  bool access = true;
  bool postgres = true;
};

Options Parse(int argc, char** argv) {
  Options o;
  std::string mode = "both";
  qn::bench::ReadFlags(argc, argv, {{"--seconds", &o.seconds}, {"--size", &o.sizeMiB}, {"--mode", &mode}});
  o.access = mode != "pg";
  o.postgres = mode != "access";
  return o;
}

constexpr int kClients = 50;
constexpr int kRounds = 3;
constexpr int32_t kListFolder = 2;
const char* const kBigFile = "C:\\lib\\big";

// Folder 1 at the top, 2-5 below it, four below each of those; 20 files in
// folder 2; the large file in a folder outside the tree, which takes
// uploads too.
void SeedLibrary(MemberInstall& install, int sizeMiB) {
  FileLibrarySeed seed(install);
  seed.AddKey(10, "File Receive", 0, false);
  seed.AddKey(11, "File Send", 0, false);
  seed.GiveKey(qn::bench::BenchUserId(0), 10);
  seed.GiveKey(qn::bench::BenchUserId(0), 11);
  seed.AddFolder({1, "Folders", kTopLevelParent, -1, "C:\\lib\\top"});
  int32_t id = 2;
  for (int child = 0; child < 4; ++child) {
    const int32_t childId = id++;
    const int32_t parent = ChildrenParentId(1, kTopLevelParent);
    seed.AddFolder({childId, "Area " + std::to_string(child), parent, -1, "C:\\lib\\area"});
    for (int grandchild = 0; grandchild < 4; ++grandchild)
      seed.AddFolder({id++, "Topic " + std::to_string(grandchild), ChildrenParentId(childId, parent),
                      -1, "C:\\lib\\topic"});
  }
  for (int32_t f = 1; f <= 20; ++f)
    seed.AddFile({f, "file" + std::to_string(100 - f) + ".txt", "C:\\lib\\area",
                  std::string(static_cast<size_t>(f) * 100, 'x'), 1000000000 + f, "bench0",
                  "A short description", "", 1000000000},
                 {kListFolder});
  seed.AddFolder({id, "Big", 999, -1, kBigFile});
  std::string big(static_cast<size_t>(sizeMiB) << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 >> 7);
  seed.AddFile({21, "big.bin", kBigFile, big, 1000000000, "bench0", "", "", 1000000000}, {id});
  seed.SetUploadOptions(true, true, kBigFile);
}

Figures BrowseLoad(uint16_t port, int seconds) {
  std::vector<ProtocolClient> connections(kClients);
  if (!qn::bench::LogOnAll(connections, port, qn::bench::BenchUserId)) return {};
  return qn::bench::RequestLoad(
      connections,
      {qn::bench::RequestFrame(7, "FileLib", "GetFolderTree"),
       qn::bench::RequestFrame(8, "FileLib", "GetFiles4FolderByNameAsc", std::to_string(kListFolder))},
      seconds);
}

// Reads frames until the end or a result code of `id`; the bytes of the
// binary rows after the first (the time row) are counted.
bool ReadTransfer(int fd, uint16_t id, size_t* dataBytes) {
  std::vector<uint8_t> in;
  std::vector<uint8_t> buffer(1 << 20);
  size_t rows = 0;
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 30000) != 1) {
      std::fprintf(stderr, "  no reply within 30 s\n");
      return false;
    }
    const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (got < 0 && errno == EAGAIN) continue;
    if (got <= 0) {
      std::fprintf(stderr, "  connection ended (%zd, errno %d)\n", got, errno);
      return false;
    }
    in.insert(in.end(), buffer.begin(), buffer.begin() + got);
    size_t at = 0;
    while (in.size() - at >= 2) {
      const size_t length = in[at] | (in[at + 1] << 8);
      if (in.size() - at - 2 < length) break;
      const uint8_t* p = in.data() + at + 2;
      if (length >= 3 && (p[1] | (p[2] << 8)) == id) {
        if (p[0] == qn::kPacketResult) {
          std::fprintf(stderr, "  result code 0x%04X\n", length >= 5 ? p[3] | (p[4] << 8) : 0);
          return false;
        }
        if (p[0] == qn::kPacketEnd) return true;
        if (p[0] == qn::kPacketMoreData && rows++ > 0 && dataBytes != nullptr)
          *dataBytes += length - 5;  // type, id, the value's 16-bit length
      }
      at += 2 + length;
    }
    in.erase(in.begin(), in.begin() + static_cast<long>(at));
  }
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EAGAIN) {
      pollfd ready{fd, POLLOUT, 0};
      if (::poll(&ready, 1, 30000) != 1) return false;
      continue;
    }
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// MiB/s of the download, or 0 on failure.
double DownloadRate(ProtocolClient& client, int32_t fileId, size_t expected) {
  const auto start = Clock::now();
  if (!client.Request(20, "FileLib", "ReceiveFile", qn::client::Params({"", std::to_string(fileId)})))
    return 0;
  size_t bytes = 0;
  if (!ReadTransfer(client.fd(), 20, &bytes) || bytes != expected) {
    std::fprintf(stderr, "  download failed (%zu of %zu bytes)\n", bytes, expected);
    return 0;
  }
  return static_cast<double>(expected) / (1 << 20) /
         std::chrono::duration<double>(Clock::now() - start).count();
}

double UploadRate(ProtocolClient& client, const std::string& name, const std::string& data) {
  constexpr size_t kBlock = 32767 - 3;
  const auto start = Clock::now();
  if (!client.Request(21, "FileLib", "SendFile", qn::client::Params({name, "-1", "bench", ""})))
    return 0;
  auto schema = client.ReadReply(10000);
  if (!schema || schema->type != qn::kPacketSchema) return 0;
  // Frames of follow-up packets, gathered into large writes.
  std::vector<uint8_t> out;
  auto frame = [&](const uint8_t* bytes, size_t length) {
    const size_t payload = length + 3;
    out.insert(out.end(), {static_cast<uint8_t>(payload), static_cast<uint8_t>(payload >> 8),
                           qn::kPacketMoreData, 21, 0});
    out.insert(out.end(), bytes, bytes + length);
  };
  const uint8_t stamp[4] = {0, 0xCA, 0x9A, 0x3B};
  frame(stamp, sizeof stamp);
  for (size_t at = 0; at < data.size(); at += kBlock) {
    frame(reinterpret_cast<const uint8_t*>(data.data()) + at, std::min(kBlock, data.size() - at));
    if (out.size() >= (1 << 20)) {
      if (!SendAll(client.fd(), out)) return 0;
      out.clear();
    }
  }
  frame(nullptr, 0);
  if (!SendAll(client.fd(), out) || !ReadTransfer(client.fd(), 21, nullptr)) {
    std::fprintf(stderr, "  upload failed\n");
    return 0;
  }
  return static_cast<double>(data.size()) / (1 << 20) /
         std::chrono::duration<double>(Clock::now() - start).count();
}

// MiB/s of reading `from` and writing `to` in 64 KiB pieces.
double CopyRate(const fs::path& from, const fs::path& to) {
  const auto start = Clock::now();
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<char> buffer(64 * 1024);
  size_t total = 0;
  for (ssize_t n; in >= 0 && out >= 0 && (n = ::read(in, buffer.data(), buffer.size())) > 0;) {
    if (::write(out, buffer.data(), static_cast<size_t>(n)) != n) break;
    total += static_cast<size_t>(n);
  }
  ::close(in);
  ::close(out);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  fs::remove(to);
  return static_cast<double>(total) / (1 << 20) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  bool met = true;

  // (a) and (b), our side per storage mode, then redis alone on the machine.
  struct ModeFigures {
    StorageMode mode;
    Figures browse;
    double download = 0, upload = 0, copy = 0;
  };
  std::vector<ModeFigures> runs;
  for (StorageMode mode : {StorageMode::Access, StorageMode::Postgres}) {
    if (!(mode == StorageMode::Access ? options.access : options.postgres)) continue;
    if (mode == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable()) {
      std::printf("%s skipped (no QN_TEST_PG_HOST)\n", qn::test::StorageModeName(mode));
      continue;
    }
    MemberInstall install;
    qn::test::ServerProcess server;
    const uint16_t port = qn::test::FindFreePort();
    std::string error;
    if (!install.Create(mode, port, &error)) {
      std::fprintf(stderr, "installation: %s\n", error.c_str());
      return 2;
    }
    qn::bench::SeedMembers(install, kClients, qn::bench::BenchUserId);
    SeedLibrary(install, options.sizeMiB);
    if (!server.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port)) {
      std::fprintf(stderr, "qnsvr32 did not start: %s\n", server.StderrText().c_str());
      return 2;
    }
    ModeFigures run{mode, BrowseLoad(port, options.seconds)};
    ProtocolClient member;
    if (!qn::bench::OpenAndLogOn(member, port, qn::bench::BenchUserId(0))) return 2;
    const fs::path big = FileLibrarySeed::OnDisk(std::string(kBigFile) + "\\big.bin");
    std::string data(static_cast<size_t>(options.sizeMiB) << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 >> 7);
    // The best of three: other work on the machine only ever slows a run.
    for (int round = 0; round < kRounds; ++round) {
      run.copy = std::max(run.copy, CopyRate(big, big.parent_path() / "copy.bin"));
      run.download = std::max(run.download, DownloadRate(member, 21, data.size()));
      run.upload = std::max(
          run.upload, UploadRate(member, "upload" + std::to_string(round) + ".bin", data));
    }
    server.Stop();
    runs.push_back(run);
  }
  const std::optional<Figures> anchor = qn::bench::RedisListRangeFor(kClients, options.seconds);
  if (!anchor) return 2;
  const Figures redis = *anchor;

  std::printf("(a) GetFolderTree (21 folders) and GetFiles4FolderByNameAsc (20 files) alternating, "
              "%d clients, %d s\n",
              kClients, options.seconds);
  std::printf("%-8s | %10s %8s %8s | %12s %8s %8s | %6s\n", "storage", "ours req/s", "p50 ms",
              "p99 ms", "LRANGE req/s", "p50 ms", "p99 ms", "ratio");
  for (const ModeFigures& run : runs) {
    const double ratio = qn::bench::Ratio(run.browse.rps, redis.rps);
    if (run.mode == StorageMode::Access && ratio < 0.1) met = false;
    std::printf("%-8s | %10.0f %8.3f %8.3f | %12.0f %8.3f %8.3f | %6.3f\n",
                qn::test::StorageModeName(run.mode), run.browse.rps, run.browse.p50Ms,
                run.browse.p99Ms, redis.rps, redis.p50Ms, redis.p99Ms, ratio);
  }
  std::printf("\n(b) one member, a file of %d MiB, MiB/s\n", options.sizeMiB);
  std::printf("%-8s | %10s %10s %10s | %8s %8s\n", "storage", "download", "upload", "plain copy",
              "down/cp", "up/cp");
  for (const ModeFigures& run : runs) {
    const double down = qn::bench::Ratio(run.download, run.copy);
    const double up = qn::bench::Ratio(run.upload, run.copy);
    if (down < 0.2 || up < 0.35) met = false;
    std::printf("%-8s | %10.1f %10.1f %10.1f | %8.3f %8.3f\n", qn::test::StorageModeName(run.mode),
                run.download, run.upload, run.copy, down, up);
  }
  return met ? 0 : 1;
}
