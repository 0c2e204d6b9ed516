#include "common/event_log_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/paths.h"
#include "platform/registry_store.h"
#include "platform/registry_text.h"

extern char** environ;

using qn::reg::KeyHandle;
using qn::reg::Store;

namespace {

constexpr size_t kMaxPath = 260;  // bytes of the registered value; characters of its expansion

std::string SourceKey(const std::string& source) {
  return std::string(kEventLogApplicationKey) + "\\" + source;
}

bool LookupEnvironment(const std::string& name, std::string& value) {
  using qn::reg::text::EqualFold;
  if (EqualFold(name, "SystemRoot") || EqualFold(name, "windir")) {
    value = qn::event_log::SystemRootDirectory().string();
    return true;
  }
  if (const char* exact = std::getenv(name.c_str())) {
    value = exact;
    return true;
  }
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq != nullptr && EqualFold(std::string_view(*e, eq - *e), name)) {
      value = eq + 1;
      return true;
    }
  }
  return false;
}

bool IsReadableFile(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return regular;
}

// syslog keeps the ident pointer; it must outlive every source object.
char g_ident[256];

}  // namespace

namespace qn::event_log {

std::filesystem::path SystemRootDirectory() { return qn::paths::ProgramDir() / "system"; }

bool ExpandEnvironmentStrings(const std::string& text, std::string& out, size_t limit) {
  out.clear();
  for (size_t i = 0; i < text.size();) {
    const size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
    std::string value;
    if (close != std::string::npos && close > i + 1 &&
        LookupEnvironment(text.substr(i + 1, close - i - 1), value)) {
      out += value;
      i = close + 1;
    } else if (close != std::string::npos && close > i + 1) {
      out.append(text, i, close - i + 1);  // unknown names stay as written
      i = close + 1;
    } else {
      out += text[i++];
    }
  }
  return out.size() + 1 <= limit;
}

std::filesystem::path ResolveMessageFile(const std::string& expanded) {
  std::string text = expanded;
  for (char& c : text)
    if (c == '\\') c = '/';
  std::filesystem::path path(text);
  std::error_code ec;
  if (std::filesystem::exists(path, ec) || !path.is_absolute()) return path;
  // Walk down from the root, matching each missing part without regard to case.
  std::filesystem::path found = path.root_path();
  for (const auto& part : path.relative_path()) {
    std::filesystem::path next = found / part;
    if (!std::filesystem::exists(next, ec)) {
      if (DIR* dir = ::opendir(found.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
          if (qn::reg::text::EqualFold(entry->d_name, part.string())) {
            next = found / entry->d_name;
            break;
          }
        }
        ::closedir(dir);
      }
    }
    found = std::move(next);
  }
  return found;
}

}  // namespace qn::event_log

int InstallEventLogSource(const std::string& source, const std::string& messageFile) {
  Store& store = Store::Default();
  KeyHandle key;
  if (store.CreateKey(KeyHandle::Root(qn::reg::Hive::LocalMachine), SourceKey(source), key) != qn::reg::kOk)
    return 1;
  if (store.SetValue(key, qn::reg::MakeExpandString("EventMessageFile", messageFile)) != qn::reg::kOk ||
      store.SetValue(key, qn::reg::MakeDword("TypesSupported", 7)) != qn::reg::kOk)
    return 1;
  return 0;
}

CEventLogSource::CEventLogSource(const std::string& source, int flag, bool& ok) : m_flag(flag) {
  ok = false;
  Store& store = Store::Default();
  KeyHandle key;
  qn::reg::Value value;
  if (store.OpenKey(KeyHandle::Root(qn::reg::Hive::LocalMachine), SourceKey(source), key) != qn::reg::kOk ||
      store.QueryValue(key, "EventMessageFile", value) != qn::reg::kOk || value.data.size() > kMaxPath)
    return;
  std::string expanded;
  if (!qn::event_log::ExpandEnvironmentStrings(qn::reg::AsString(value), expanded, kMaxPath)) return;
  const std::filesystem::path file = qn::event_log::ResolveMessageFile(expanded);
  if (!IsReadableFile(file)) {
    std::printf("%s\n", file.c_str());
    std::printf("Can't find or load message DLL... terminating.\n");
    std::printf("Message DLL must be in path or in current directory.\n");
    std::fflush(stdout);
    return;
  }
  m_hModule = true;
  std::snprintf(g_ident, sizeof g_ident, "%s", source.c_str());
  ::openlog(g_ident, LOG_PID, LOG_DAEMON);
  m_hEventSource = true;
  ok = true;
}

CEventLogSource::~CEventLogSource() {
  if (m_hEventSource) ::closelog();
}

void ReportEventError(const std::string& text) {
  ::syslog(LOG_DAEMON | LOG_ERR, "%s", text.c_str());
}
