#include "tools/manager/core/launcher.h"

#include <cerrno>

#include "platform/process_start.h"
#include "tools/manager/core/manager_texts.h"

namespace qn::manager {

int ExecResultFromErrno(int error) {
  switch (error) {
    case 0: return kExecStarted;
    case ENOENT: return kExecFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return kExecPathNotFound;
    case ENOEXEC:
    case ELIBBAD: return kExecBadFormat;
    case EACCES:
    case EPERM:
    case ETXTBSY: return kExecAccessDenied;
    default: return kExecOutOfResources;  // ENOMEM, EAGAIN, E2BIG and the rest
  }
}

std::optional<std::string> WinExecErrorText(int result, const std::string& message) {
  switch (result) {
    case kExecOutOfResources: return message + texts::kOutOfResources;
    case kExecFileNotFound: return message + texts::kFileNotFound;
    case kExecPathNotFound: return message + texts::kPathNotFound;
    case kExecBadFormat: return message + texts::kBadFormat;
    // WinExec's access denied showed nothing at all, as if the program had
    // started.
    case kExecAccessDenied: return message + texts::kAccessDenied;
    default: return std::nullopt;
  }
}

std::optional<std::string> Launcher::FindProgram(const std::string& name) const {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) return name;
  const std::string beside = host_.executableDir + "/" + name;
  if (host_.files->IsExecutable(beside)) return beside;
  size_t start = 0;
  for (;;) {
    const size_t colon = host_.searchPath.find(':', start);
    const size_t length = colon == std::string::npos ? std::string::npos : colon - start;
    // An empty entry is the current directory.
    const std::string candidate = length == 0 ? "./" + name : host_.searchPath.substr(start, length) + "/" + name;
    if (host_.files->IsExecutable(candidate)) return candidate;
    if (colon == std::string::npos) return std::nullopt;
    start = colon + 1;
  }
}

bool Launcher::ProgramExists(const std::string& commandLine) const {
  const std::vector<std::string> words = SplitCommandWords(commandLine);
  if (words.empty()) return false;
  const std::optional<std::string> program = FindProgram(words.front());
  return program && host_.files->Exists(*program);
}

int Launcher::WinExec(const std::string& commandLine) const {
  const std::vector<std::string> words = SplitCommandWords(commandLine);
  if (words.empty()) return kExecFileNotFound;
  const std::optional<std::string> program = FindProgram(words.front());
  if (!program) return kExecFileNotFound;
  return ExecResultFromErrno(host_.spawner->Spawn(*program, words));
}

int Launcher::Run(const std::string& path) const {
  if (path.empty()) return kExecFileNotFound;
  return ExecResultFromErrno(host_.spawner->Spawn(path, {path}));
}

}  // namespace qn::manager
