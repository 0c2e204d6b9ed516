#include "platform/process_start.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

extern char** environ;

namespace qn {

std::vector<std::string> SplitCommandWords(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

int SpawnChild(const std::vector<std::string>& argv, const ChildSetup& setup, pid_t* pid) {
  if (argv.empty()) return ENOENT;
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (std::string& w : words) args.push_back(w.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!setup.outputFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, setup.outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (setup.newSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attr, flags);
  const char* file = setup.program.empty() ? args[0] : setup.program.c_str();
  pid_t child = -1;
  const int rc = setup.searchPath
                     ? ::posix_spawnp(&child, file, &actions, &attr, args.data(), environ)
                     : ::posix_spawn(&child, file, &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc == 0 && pid != nullptr) *pid = child;
  return rc;
}

void ReapWhenEnded(pid_t pid) {
  try {
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // Without a thread the ended program stays a zombie until we end.
  }
}

bool StartProgramDetached(const std::string& program, std::string* error) {
  pid_t pid = -1;
  const int rc = SpawnChild({program}, ChildSetup{}, &pid);
  if (rc != 0) {
    if (error != nullptr) *error = std::strerror(rc);
    return false;
  }
  ReapWhenEnded(pid);
  return true;
}

}  // namespace qn
