#include "platform/process_start.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "support/scoped_root.h"

namespace {

using Words = std::vector<std::string>;

TEST(ProcessStart, CommandLinesSplitAtBlanksOutsideQuotes) {
  struct Case {
    const char* line;
    Words words;
  };
  for (const Case& c : {Case{"", {}}, Case{"  \t ", {}}, Case{"prepare", {"prepare"}},
                        Case{"  /usr/bin/prepare  -q\tnow ", {"/usr/bin/prepare", "-q", "now"}},
                        Case{"\"/opt/my tools/prep\" \"a b\" c", {"/opt/my tools/prep", "a b", "c"}},
                        Case{"x\"y z\"w", {"xy zw"}}, Case{"p \"\" q", {"p", "", "q"}},
                        Case{"say \"it's; $(rm -rf /)\"", {"say", "it's; $(rm -rf /)"}},
                        Case{"p ;$(rm -rf x) `id` 'q r'", {"p", ";$(rm", "-rf", "x)", "`id`", "'q", "r'"}},
                        Case{"p \"unclosed tail", {"p", "unclosed tail"}}}) {
    EXPECT_EQ(qn::SplitCommandWords(c.line), c.words) << c.line;
  }
}

// A child gets the three standard descriptors only, no blocked or ignored
// signal, and its output where it was sent; a missing program is the call's
// result, not a child that fails.
TEST(ProcessStart, ChildrenStartCleanAndFailuresAreTheCallsResult) {
  qn::test::ScopedRoot root;
  const std::string out = (root.path() / "child.out").string();
  const int leaked = ::open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GE(leaked, 3);
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ::sigprocmask(SIG_BLOCK, &block, &old);
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGUSR2, &ignore, &previous);

  qn::ChildSetup setup;
  setup.outputFile = out;
  setup.newSession = true;
  pid_t pid = -1;
  const int rc = qn::SpawnChild(
      {"sh", "-c", "ls /proc/self/fd | wc -l; grep -E '^Sig(Blk|Ign)' /proc/self/status; echo err >&2"},
      setup, &pid);
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
  ::sigaction(SIGUSR2, &previous, nullptr);
  ::close(leaked);
  ASSERT_EQ(rc, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  std::ifstream in(out);
  std::string fds, blockedLine, ignoredLine, err;
  in >> fds >> blockedLine >> std::hex;
  unsigned long long blocked = 0, ignored = 0;
  in >> blocked >> ignoredLine >> ignored >> err;
  EXPECT_EQ(fds, "4");  // 0-2 and the directory ls reads
  EXPECT_EQ(blocked, 0u);
  // The C library keeps its own real-time signals (32 and 33) as it likes.
  EXPECT_EQ(ignored & 0x7FFFFFFFull, 0u) << std::hex << ignored;
  EXPECT_EQ(err, "err");

  EXPECT_EQ(qn::SpawnChild({"/nonexistent/program"}, qn::ChildSetup{}, &pid), ENOENT);
  qn::ChildSetup direct;
  direct.searchPath = false;
  EXPECT_EQ(qn::SpawnChild({"sh", "-c", "true"}, direct, &pid), ENOENT);  // no PATH search
  std::string error;
  EXPECT_FALSE(qn::StartProgramDetached("no-such-program-here", &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
