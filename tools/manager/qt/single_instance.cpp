#include "tools/manager/qt/single_instance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QThread>
#include <cstdio>

#include "tools/manager/core/manager_texts.h"

namespace qn::manager {

namespace {

// How long a later copy tries to reach the first one, which may still be
// starting between taking the lock and listening.
constexpr int kReachMs = 5000;

}  // namespace

CSingleInstance::CSingleInstance(const QString& runDir) : runDir_(runDir) {}

CSingleInstance::~CSingleInstance() = default;

QString CSingleInstance::LockPath() const { return runDir_ + "/" + texts::kInstanceMutex + ".lock"; }

QString CSingleInstance::SocketPath() const { return runDir_ + "/" + texts::kActivateMessage; }

CSingleInstance::Outcome CSingleInstance::Claim() {
  QDir().mkpath(runDir_);
  lock_ = std::make_unique<QLockFile>(LockPath());
  // A lock is stale only when its process is gone, never by its age: a
  // manager runs for weeks.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) return Outcome::First;
  if (lock_->error() != QLockFile::LockFailedError) {
    std::fprintf(stderr, "qnman32: %s cannot be made; running without the single-copy guard.\n",
                 LockPath().toLocal8Bit().constData());
    lock_.reset();
    return Outcome::Unguarded;
  }
  QElapsedTimer waited;
  waited.start();
  while (waited.elapsed() < kReachMs) {
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (socket.waitForConnected(1000)) {
      socket.write("A", 1);
      socket.waitForBytesWritten(1000);
      // The first copy closes once it has seen the request.
      socket.waitForDisconnected(1000);
      break;
    }
    QThread::msleep(50);
  }
  lock_.reset();
  return Outcome::Activated;
}

bool CSingleInstance::Listen(std::function<void()> activate) {
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  // A socket left by a copy that was killed is in the way.
  QLocalServer::removeServer(SocketPath());
  if (!server_->listen(SocketPath())) {
    server_.reset();
    return false;
  }
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this, activate] {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
      QObject::connect(peer, &QLocalSocket::readyRead, peer, [peer, activate] {
        peer->readAll();
        activate();
        peer->disconnectFromServer();
      });
      QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
    }
  });
  return true;
}

}  // namespace qn::manager
