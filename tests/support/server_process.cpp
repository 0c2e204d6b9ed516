#include "support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qn::test {

uint16_t FindFreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

namespace {
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}
}  // namespace

std::string StringLine(const std::string& name, const std::string& text) {
  return Quoted(name) + "=" + Quoted(text);
}

std::string DwordLine(const std::string& name, uint32_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "dword:%08x", value);
  return "\"" + name + "\"=" + buffer;
}

void WriteRegistry(const std::string& root, const RegistrySections& sections) {
  const std::filesystem::path dir = std::filesystem::path(root) / "etc/quillnet";
  std::filesystem::create_directories(dir);
  std::ofstream out(dir / "registry.reg", std::ios::trunc);
  out << "REGEDIT4\n";
  for (const auto& [section, lines] : sections) {
    if (section.rfind("HKEY_", 0) == 0)
      out << "\n[" << section << "]\n";
    else
      out << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenlo\\Quillnet Server\\" << section << "]\n";
    for (const std::string& line : lines) out << line << "\n";
  }
}

bool IsPortListening(uint16_t port) {
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  std::ifstream in("/proc/net/tcp");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0)
      return true;
  }
  return false;
}

ServerProcess::~ServerProcess() {
  if (m_pid > 0) Stop(SIGKILL, 5000);
}

bool ServerProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::string& root, uint16_t port, int timeoutMs) {
  const std::string path = std::string(QN_BIN_DIR) + "/" + program;
  m_stderrPath = root + "/" + program + ".stderr";
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string(*e).rfind("QN_ROOT=", 0) != 0) environment.emplace_back(*e);
  environment.push_back("QN_ROOT=" + root);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings{path};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, m_stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const int rc = posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    m_pid = -1;
    return false;
  }
  m_status = -1;
  if (port == 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (IsPortListening(port)) return true;
    if (!IsRunning()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool ServerProcess::IsRunning() {
  if (m_pid <= 0) return false;
  int status = 0;
  const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
  if (done == m_pid) {
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_pid = -1;
    return false;
  }
  return true;
}

int ServerProcess::Wait(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (IsRunning()) {
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return m_status;
}

int ServerProcess::Stop(int signal, int timeoutMs) {
  if (!IsRunning()) return m_status;
  ::kill(m_pid, signal);
  if (Wait(timeoutMs) >= 0) return m_status;
  ::kill(m_pid, SIGKILL);
  Wait(5000);
  return m_status;
}

std::string ServerProcess::StderrText() const {
  std::ifstream in(m_stderrPath);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

uint64_t ResidentBytes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

}  // namespace qn::test
