// Load generator for the SMTP gateway against a real qnsvr32, with postfix's
// smtp-source and smtp-sink as anchors in the same run:
//
//   (a) inbound: smtp-source -s 50 -m M -l 300 to the alias of a member who
//       is not logged on; messages accepted per second, every message
//       counted in the mail store afterwards, the statements each message
//       cost (from the tests' build of the server) and the ratio of the two
//       storage modes, beside the same smtp-source run against an
//       smtp-sink;
//   (b) relaying: R messages to Internet addresses posted with "Email"
//       "MailLtr" (10 members, letters of 100 recipients each, the members
//       posting at once), "MaxConnections" 50, timed from the first post to
//       the last message at an smtp-sink (which ends after R messages),
//       beside smtp-source -s 50 -m R -l 300 to the same kind of sink;
//   (c) a relay that greets and never answers: H letters of 30 KB to
//       Internet addresses posted by 10 members at once; letters accepted and
//       refused, the server's RSS growth (at its highest while posting),
//       then a stop: every accepted letter must be back with its sender.
//
//   smtp_load [--messages M] [--relayed R] [--hung H]  (defaults 20000, 10000, 3000)
//
// Both storage modes (PostgreSQL when scripts/pg-test-server's environment
// is present). Exit code 0 when, with the per-area SQLite files, (a) is at
// least 0.3 and (b) at least 0.6 of its anchor, and in both modes (c) grows
// the server by at most 16 MiB and loses no letter.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/registry.h"
#include "support/bench_flags.h"
#include "support/bench_support.h"
#include "support/mail_seed.h"
#include "support/smtp_peers.h"

using qn::bench::Clock;
using qn::client::ProtocolClient;
using qn::test::MailSeed;
using qn::test::MemberInstall;
using qn::test::StorageMode;

namespace {

constexpr int kSessions = 50;
constexpr int kPosters = 10;
constexpr int kLetterRecipients = 100;
constexpr double kInboundTarget = 0.3;
constexpr double kRelayTarget = 0.6;

constexpr double kHungGrowthMiB = 16;

struct Options {
  int messages = 20000;
  int relayed = 10000;
  int hung = 3000;
};

Options Parse(int argc, char** argv) {
  Options o;
  qn::bench::ReadFlags(argc, argv,
                       {{"--messages", &o.messages}, {"--relayed", &o.relayed}, {"--hung", &o.hung}});
  return o;
}

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

// Waits for a child; its exit code, -1 when it had to be killed after the
// time.
int WaitFor(pid_t pid, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// smtp-sink on a loopback port; with `messages` it ends after that many.
pid_t StartSink(uint16_t port, int messages) {
  std::vector<std::string> args = {"smtp-sink"};
  if (::geteuid() == 0) args.insert(args.end(), {"-u", "nobody"});
  if (messages > 0) args.insert(args.end(), {"-M", std::to_string(messages)});
  args.insert(args.end(), {"-m", "1024", "127.0.0.1:" + std::to_string(port), "1024"});
  const pid_t pid = qn::bench::Spawn(args);
  for (int i = 0; pid > 0 && i < 500 && !qn::test::IsPortListening(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (pid < 0 || !qn::test::IsPortListening(port)) {
    std::fprintf(stderr, "smtp-sink did not start (bash scripts/install-bench-deps)\n");
    std::exit(2);
  }
  return pid;
}

// One smtp-source run of `count` messages; seconds it took, -1 on failure.
double SmtpSource(uint16_t port, int count, const std::string& to) {
  const auto start = Clock::now();
  const pid_t pid = qn::bench::Spawn({"smtp-source", "-s", std::to_string(kSessions), "-m",
                                      std::to_string(count), "-l", "300", "-f", "sender@far.example",
                                      "-t", to, "127.0.0.1:" + std::to_string(port)});
  if (pid < 0 || WaitFor(pid, 600) != 0) return -1;
  return Seconds(start);
}

// A fresh installation with the SMTP settings, and qnsvr32 on it.
bool StartServer(MemberInstall& install, qn::test::ServerProcess& server, StorageMode mode,
                 uint16_t port, uint16_t smtpPort, uint16_t relayPort,
                 const std::function<void(MailSeed&)>& seed) {
  std::string error;
  if (!install.Create(mode, port, &error)) {
    std::fprintf(stderr, "installation (%s): %s\n", qn::test::StorageModeName(mode), error.c_str());
    return false;
  }
  install.SeedAccountDefaults(0, 0, -1);
  MailSeed mail(install);
  seed(mail);
  CQuillnetRegistry registry;
  registry.WriteString("SMTP", "MailRelayAddress", "127.0.0.1");
  registry.WriteString("SMTP", "PrimaryDomainName", "q.example");
  registry.WriteDWORD("SMTP", "Port", smtpPort);
  registry.WriteDWORD("SMTP", "MailRelayPort", relayPort);
  registry.WriteDWORD("SMTP", "MaxConnections", kSessions);
  const std::string program = qn::bench::CountingServerProgram();
  if (!server.Start(program, {"-sa"}, MemberInstall::Root().string(), port)) {
    std::fprintf(stderr, "%s did not start: %s\n", program.c_str(), server.StderrText().c_str());
    return false;
  }
  for (int i = 0; i < 500 && !qn::test::IsPortListening(smtpPort); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return qn::test::IsPortListening(smtpPort);
}

struct Run {
  double rate = 0;  // messages per second
  bool ok = false;
  double statements = -1;  // per message, when the server tells
};

Run Inbound(StorageMode mode, int messages) {
  MemberInstall install;
  qn::test::ServerProcess server;
  const uint16_t port = qn::test::FindFreePort();
  const uint16_t smtpPort = qn::test::FindFreePort();
  if (!StartServer(install, server, mode, port, smtpPort, qn::test::FindFreePort(),
                   [](MailSeed& seed) { seed.AddAccount("Target", 1000, "", "target"); }))
    std::exit(2);
  const long before = qn::bench::ServerStatements(port);
  const double seconds = SmtpSource(smtpPort, messages, "target@q.example");
  const long after = qn::bench::ServerStatements(port);
  MailSeed seed(install);
  const long stored = seed.Messages("RecipID='Target'");
  server.Stop();
  if (seconds <= 0 || stored != messages)
    std::fprintf(stderr, "  %s: smtp-source %s, %ld of %d messages stored\n",
                 qn::test::StorageModeName(mode), seconds <= 0 ? "failed" : "ran", stored, messages);
  Run run{seconds > 0 ? messages / seconds : 0, seconds > 0 && stored == messages};
  if (before >= 0 && after >= 0) run.statements = static_cast<double>(after - before) / messages;
  return run;
}

// Posts `letters` letters of kLetterRecipients Internet recipients as one
// member; false when a letter was refused.
bool PostLetters(uint16_t port, int member, int letters) {
  ProtocolClient client;
  if (!qn::bench::OpenAndLogOn(client, port, "Poster" + std::to_string(member))) return false;
  const std::string note = std::string(240, 'n') + "\r\nRegards\r\n";
  for (int l = 0; l < letters; ++l) {
    std::vector<std::string> params = {"Letter " + std::to_string(l), note, "-"};
    for (int r = 0; r < kLetterRecipients; ++r)
      params.push_back("r" + std::to_string(member) + "-" + std::to_string(l) + "-" + std::to_string(r) +
                       "@far.example");
    const uint16_t id = static_cast<uint16_t>(10 + l);
    if (!client.Request(id, "Email", "MailLtr", qn::client::Params(params))) return false;
    const auto reply = qn::client::ReadTable(client, id, 60000);
    if (!reply || !reply->ended || reply->result) return false;
  }
  return true;
}

Run Relay(StorageMode mode, int relayed) {
  MemberInstall install;
  qn::test::ServerProcess server;
  const uint16_t port = qn::test::FindFreePort();
  const uint16_t sinkPort = qn::test::FindFreePort();
  const pid_t sink = StartSink(sinkPort, relayed);
  if (!StartServer(install, server, mode, port, qn::test::FindFreePort(), sinkPort, [](MailSeed& seed) {
        seed.AddComposeKey(0);
        for (int m = 0; m < kPosters; ++m)
          seed.AddAccount("Poster" + std::to_string(m), 1000, "", "poster" + std::to_string(m));
      }))
    std::exit(2);
  const int letters = relayed / (kPosters * kLetterRecipients);
  std::atomic<int> failures{0};
  const auto start = Clock::now();
  std::vector<std::thread> posters;
  for (int m = 0; m < kPosters; ++m)
    posters.emplace_back([&, m] {
      if (!PostLetters(port, m, letters)) ++failures;
    });
  for (auto& t : posters) t.join();
  const int sinkExit = WaitFor(sink, 600);
  const double seconds = Seconds(start);
  MailSeed seed(install);
  // smtp-sink ends at its last message without answering what is still on
  // its other connections: those few bounce.
  const long bounces = seed.Messages("Subject='Mail returned to sender'");
  server.Stop();
  const bool ok = failures == 0 && sinkExit == 0 && bounces <= kSessions;
  if (!ok || bounces > 0)
    std::fprintf(stderr, "  (b) %s: %d posters failed, smtp-sink %s, %ld bounces\n",
                 qn::test::StorageModeName(mode), failures.load(),
                 sinkExit == 0 ? "got them all" : "did not get them all", bounces);
  return {ok ? relayed / seconds : 0, ok};
}

struct HungRun {
  int accepted = 0, refused = 0;
  double postSeconds = 0;
  double startMiB = 0, peakMiB = 0;
  long returned = 0;
  bool ok = false;
};

HungRun HungRelay(StorageMode mode, int letters) {
  MemberInstall install;
  qn::test::ServerProcess server;
  const uint16_t port = qn::test::FindFreePort();
  const uint16_t relayPort = qn::test::FindFreePort();
  qn::test::ScriptedRelay relay;
  if (!relay.Start(relayPort, qn::test::ScriptedRelay::Mode::kHang)) std::exit(2);
  if (!StartServer(install, server, mode, port, qn::test::FindFreePort(), relayPort, [](MailSeed& seed) {
        seed.AddComposeKey(0);
        for (int m = 0; m < kPosters; ++m)
          seed.AddAccount("Poster" + std::to_string(m), 1000, "", "poster" + std::to_string(m));
      }))
    std::exit(2);
  HungRun run;
  std::vector<ProtocolClient> clients(kPosters);
  for (int m = 0; m < kPosters; ++m)
    if (!qn::bench::OpenAndLogOn(clients[m], port, "Poster" + std::to_string(m))) std::exit(2);
  run.startMiB = qn::test::ResidentBytes(server.pid()) / 1048576.0;
  std::atomic<bool> posting{true};
  std::atomic<uint64_t> peak{0};
  std::thread watch([&] {
    while (posting) {
      peak = std::max<uint64_t>(peak, qn::test::ResidentBytes(server.pid()));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::atomic<int> accepted{0}, refused{0}, failures{0};
  const std::string note = std::string(30 * 1024 - 10, 'n') + "\r\nRegards\r\n";
  const auto start = Clock::now();
  std::vector<std::thread> posters;
  for (int m = 0; m < kPosters; ++m)
    posters.emplace_back([&, m] {
      for (int l = m; l < letters; l += kPosters) {
        const uint16_t id = static_cast<uint16_t>(10 + l / kPosters);
        const std::string to = "friend" + std::to_string(l) + "@far.example";
        if (!clients[m].Request(id, "Email", "MailLtr", qn::client::Params({"Letter", note, "-", to}))) {
          ++failures;
          return;
        }
        const auto reply = qn::client::ReadTable(clients[m], id, 60000);
        if (!reply || !reply->ended || reply->result) {
          ++failures;
          return;
        }
        ++(reply->rows.empty() ? accepted : refused);
      }
    });
  for (auto& t : posters) t.join();
  run.postSeconds = Seconds(start);
  peak = std::max<uint64_t>(peak, qn::test::ResidentBytes(server.pid()));
  posting = false;
  watch.join();
  run.peakMiB = peak / 1048576.0;
  run.accepted = accepted;
  run.refused = refused;
  const int stopped = server.Stop();
  MailSeed seed(install);
  run.returned = seed.Messages("Subject='Mail returned to sender' AND Note LIKE "
                               "'%Server stopped before the message was relayed%'");
  run.ok = failures == 0 && stopped == 0 && run.returned == run.accepted &&
           run.accepted + run.refused == letters;
  if (!run.ok)
    std::fprintf(stderr, "  (c) %s: %d posters failed, server exit %d, %ld of %d returned\n",
                 qn::test::StorageModeName(mode), failures.load(), stopped, run.returned, run.accepted);
  return run;
}

Run SourceToSink(int messages, bool timeToSinkEnd) {
  const uint16_t port = qn::test::FindFreePort();
  const pid_t sink = StartSink(port, timeToSinkEnd ? messages : 0);
  if (!timeToSinkEnd) {
    const double seconds = SmtpSource(port, messages, "someone@far.example");
    ::kill(sink, SIGTERM);
    ::waitpid(sink, nullptr, 0);
    return {seconds > 0 ? messages / seconds : 0, seconds > 0};
  }
  // Timed to the sink's last message, as the relay run is; smtp-source may
  // see the sink go before its last QUIT is answered.
  const auto start = Clock::now();
  const pid_t source = qn::bench::Spawn({"smtp-source", "-s", std::to_string(kSessions), "-m",
                                         std::to_string(messages), "-l", "300", "-f",
                                         "sender@far.example", "-t", "someone@far.example",
                                         "127.0.0.1:" + std::to_string(port)});
  const int exit = WaitFor(sink, 600);
  const double seconds = Seconds(start);
  if (source > 0) WaitFor(source, 10);
  const bool ok = source > 0 && exit == 0;
  return {ok ? messages / seconds : 0, ok};
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  const bool havePostgres = qn::test::PostgresTestServerAvailable();

  const Run inSqlite = Inbound(StorageMode::Access, options.messages);
  const Run inPostgres = havePostgres ? Inbound(StorageMode::Postgres, options.messages) : Run{};
  const Run inAnchor = SourceToSink(options.messages, false);
  const Run outSqlite = Relay(StorageMode::Access, options.relayed);
  const Run outPostgres = havePostgres ? Relay(StorageMode::Postgres, options.relayed) : Run{};
  const Run outAnchor = SourceToSink(options.relayed, true);
  const HungRun hungSqlite = HungRelay(StorageMode::Access, options.hung);
  const HungRun hungPostgres = havePostgres ? HungRelay(StorageMode::Postgres, options.hung) : HungRun{};

  std::printf("(a) inbound: smtp-source -s %d -m %d -l 300 to a member's alias, vs smtp-sink\n",
              kSessions, options.messages);
  std::printf("(b) relaying: %d messages posted with MailLtr, MaxConnections %d, to smtp-sink, vs "
              "smtp-source -s %d\n",
              options.relayed, kSessions, kSessions);
  std::printf("%-14s | %12s %12s | %6s\n", "run", "messages/s", "anchor/s", "ratio");
  const auto line = [](const char* name, const Run& run, const Run& anchor) {
    std::printf("%-14s | %12.0f %12.0f | %6.3f", name, run.rate, anchor.rate,
                qn::bench::Ratio(run.rate, anchor.rate));
    if (run.statements >= 0) std::printf(" | %.2f statements/message", run.statements);
    std::printf("%s\n", run.ok ? "" : "  (failed)");
  };
  line("(a) MSAccess", inSqlite, inAnchor);
  if (havePostgres) line("(a) MSSQL", inPostgres, inAnchor);
  line("(b) MSAccess", outSqlite, outAnchor);
  if (havePostgres) line("(b) MSSQL", outPostgres, outAnchor);
  if (!havePostgres) std::printf("MSSQL skipped (no QN_TEST_PG_HOST)\n");
  if (havePostgres)
    std::printf("(a) MSSQL/MSAccess %.3f, (b) MSSQL/MSAccess %.3f\n",
                qn::bench::Ratio(inPostgres.rate, inSqlite.rate),
                qn::bench::Ratio(outPostgres.rate, outSqlite.rate));
  std::printf("(c) hung relay: %d letters of 30 KB (%.0f MiB) posted by %d members\n", options.hung,
              options.hung * 30.0 / 1024, kPosters);
  std::printf("%-14s | %8s %8s %9s | %9s %9s %8s | %8s\n", "run", "accepted", "refused", "post s",
              "RSS MiB", "peak MiB", "growth", "returned");
  const auto hung = [](const char* name, const HungRun& run) {
    std::printf("%-14s | %8d %8d %9.2f | %9.1f %9.1f %8.1f | %8ld%s\n", name, run.accepted, run.refused,
                run.postSeconds, run.startMiB, run.peakMiB, run.peakMiB - run.startMiB, run.returned,
                run.ok ? "" : "  (failed)");
  };
  hung("(c) MSAccess", hungSqlite);
  if (havePostgres) hung("(c) MSSQL", hungPostgres);
  const auto hungMet = [](const HungRun& run) {
    return run.ok && run.peakMiB - run.startMiB <= kHungGrowthMiB;
  };
  const bool met = inSqlite.ok && outSqlite.ok &&
                   qn::bench::Ratio(inSqlite.rate, inAnchor.rate) >= kInboundTarget &&
                   qn::bench::Ratio(outSqlite.rate, outAnchor.rate) >= kRelayTarget &&
                   hungMet(hungSqlite) && (!havePostgres || hungMet(hungPostgres));
  return met ? 0 : 1;
}
