// The real qnsvr32 installed as the service "QuillnetServer" in the process's
// member installation and run by the service control stand-in, for the tests
// of the programs that watch and drive it (the guardian, the Monitor driver).
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "support/member_install.h"

namespace qn::test {

class ServerService {
 public:
  ServerService() = default;
  // Ends whatever server process the service still has.
  ~ServerService();
  ServerService(const ServerService&) = delete;
  ServerService& operator=(const ServerService&) = delete;

  // A fresh installation (per-area files, accounts "Max" and "Ann" with the
  // password "pw" and 1000 credits) on a free port, and "qnsvr32 -install".
  bool Install(std::string* error);
  // Starts the service; true once it runs and answers a hello.
  bool Start();
  // The running server's process id (0 when none runs).
  pid_t Pid() const;
  uint32_t State() const;
  // A hello answered within the time.
  bool Greets(int timeoutMs = 5000) const;
  uint16_t port() const { return port_; }
  MemberInstall& install() { return install_; }

 private:
  MemberInstall install_;
  uint16_t port_ = 0;
};

}  // namespace qn::test
