#include "platform/socket_readiness.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/main_loop.h"

namespace qn {

namespace {

constexpr int kBatch = 256;
// Batches taken in one turn before the loop's other work gets its own.
constexpr int kRoundsPerTurn = 4;

uint32_t Translate(uint32_t epoll) {
  uint32_t events = 0;
  if (epoll & (EPOLLIN | EPOLLRDHUP | EPOLLPRI)) events |= SocketReadiness::kInput;
  if (epoll & EPOLLOUT) events |= SocketReadiness::kOutput;
  // A reset or a failure is also input: a read reports it.
  if (epoll & (EPOLLERR | EPOLLHUP)) events |= SocketReadiness::kHangUp | SocketReadiness::kInput;
  return events;
}

int MakeEpoll() {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  return fd;
}

}  // namespace

SocketReadiness::SocketReadiness(asio::io_context& loop) : m_epoll(MakeEpoll()), m_descriptor(loop, m_epoll) {
  Arm();
}

SocketReadiness::~SocketReadiness() {
  for (Entry* entry : m_removed) delete entry;
  // The descriptor closes the epoll set.
}

SocketReadiness& SocketReadiness::Main() {
  static SocketReadiness* set = new SocketReadiness(MainLoop());
  return *set;
}

SocketReadiness::Entry* SocketReadiness::Add(int fd, Watcher* watcher) {
  auto* entry = new Entry{watcher};
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  event.data.ptr = entry;
  if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
    const int error = errno;
    delete entry;
    errno = error;
    return nullptr;
  }
  ++m_nWatched;
  return entry;
}

void SocketReadiness::Remove(int fd, Entry* entry) {
  if (entry == nullptr) return;
  ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
  --m_nWatched;
  entry->watcher = nullptr;
  if (m_bDispatching)
    m_removed.push_back(entry);
  else
    delete entry;
}

void SocketReadiness::Arm() {
  m_descriptor.async_wait(asio::posix::descriptor_base::wait_read, [this](const asio::error_code& ec) {
    if (!ec) Dispatch();
  });
}

void SocketReadiness::Dispatch() {
  struct Turn {
    SocketReadiness& set;
    ~Turn() {
      set.m_bDispatching = false;
      for (Entry* entry : set.m_removed) delete entry;
      set.m_removed.clear();
      // The wait re-polls the set: sockets left ready end it at once.
      set.Arm();
    }
  } turn{*this};
  m_bDispatching = true;
  epoll_event events[kBatch];
  for (int round = 0; round < kRoundsPerTurn; ++round) {
    const int n = ::epoll_wait(m_epoll, events, kBatch, 0);
    for (int i = 0; i < n; ++i) {
      const auto* entry = static_cast<const Entry*>(events[i].data.ptr);
      if (entry->watcher != nullptr) entry->watcher->OnSocketEvents(Translate(events[i].events));
    }
    if (n < kBatch) break;
  }
}

}  // namespace qn
