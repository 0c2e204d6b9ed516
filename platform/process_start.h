// Starting a program without waiting for it (the stand-in for WinExec): found
// through PATH, no arguments, the child reaped when it ends so that none is
// left as a zombie.
#pragma once
#include <string>

namespace qn {

// True when the program started; otherwise `error` (when given) says why.
bool StartProgramDetached(const std::string& program, std::string* error = nullptr);

}  // namespace qn
