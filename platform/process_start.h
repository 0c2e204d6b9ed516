// Starting programs: the words of a command line, and a child started with a
// clean signal state and only the descriptors it is given.
#pragma once
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace qn {

// The words of a command line: blanks (spaces, tabs) outside double quotes
// separate them; the quotes are dropped, so "" is an empty word, and a quote
// left open runs to the end. No shell is involved: `;`, `$(...)` and single
// quotes are plain characters.
std::vector<std::string> SplitCommandWords(std::string_view line);

struct ChildSetup {
  // The file to run; empty: argv[0].
  std::string program;
  // Looked up along PATH when the name has no slash (posix_spawnp).
  bool searchPath = true;
  // A session of its own, so that a signal to ours does not reach it.
  bool newSession = false;
  // Standard input from /dev/null and output and errors appended to this
  // file (made with mode 0600); empty: the three are inherited.
  std::string outputFile;
};

// Starts the program (argv[0] unless set up otherwise) with argv, every signal at its default and none blocked, and
// no descriptor but 0-2 inherited. Returns 0 and the child's pid, or the
// errno of the failed start (glibc reports a program that cannot be run as
// the call's result).
int SpawnChild(const std::vector<std::string>& argv, const ChildSetup& setup, pid_t* pid);

// Reaps `pid` on a thread of its own whenever it ends, so that none is left
// as a zombie and nothing else's children are reaped.
void ReapWhenEnded(pid_t pid);

// True when the program started; otherwise `error` (when given) says why.
// Found through PATH, no arguments, the child reaped when it ends (the
// stand-in for WinExec).
bool StartProgramDetached(const std::string& program, std::string* error = nullptr);

}  // namespace qn
