// One manager per installation: the first holds a lock file ("Server Manager
// Mutex") in $QN_ROOT/run/quillnet/ and listens on a local socket
// ("Activate Server Manager") there; a later start finds the lock held, asks
// the first to come to the front through the socket, and ends.
#pragma once
#include <QLocalServer>
#include <QLockFile>
#include <QString>
#include <functional>
#include <memory>

namespace qn::manager {

class CSingleInstance {
 public:
  enum class Outcome {
    First,       // this copy runs; Listen next
    Unguarded,   // the lock cannot be had at all (a line on standard error): runs without a guard
    Activated,   // another copy runs and was asked to come to the front: end
  };
  // `runDir` holds the lock file and the socket.
  explicit CSingleInstance(const QString& runDir);
  ~CSingleInstance();
  Outcome Claim();
  // Listens for later copies; each one calls `activate`. False when the
  // socket cannot be made.
  bool Listen(std::function<void()> activate);

  QString LockPath() const;
  QString SocketPath() const;

 private:
  QString runDir_;
  std::unique_ptr<QLockFile> lock_;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace qn::manager
