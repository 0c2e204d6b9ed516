#include "platform/registry_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/registry_store.h"

namespace qn::reg {

namespace {

struct Watch {
  explicit Watch(asio::io_context& loop) : descriptor(loop) {}
  asio::posix::stream_descriptor descriptor;
  // The file's name in the watched directory.
  std::string name;
};

std::unique_ptr<Watch> g_watch;
std::atomic<bool> g_watching{false};
std::atomic<uint64_t> g_changes{0};

constexpr uint32_t kFileEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE;
// The directory itself went: nothing more would be seen.
constexpr uint32_t kGoneEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

void Arm();

// Reads every queued event; false when the watch cannot go on.
bool TakeEvents(Watch& watch) {
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(watch.descriptor.native_handle(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & kGoneEvents) {
        g_changes.fetch_add(1);
        return false;
      }
      // An overflow lost events, maybe the file's.
      if ((event->mask & IN_Q_OVERFLOW) || (event->len > 0 && watch.name == event->name))
        g_changes.fetch_add(1);
    }
  }
}

void Arm() {
  g_watch->descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                                 [watch = g_watch.get()](const asio::error_code& ec) {
                                   if (ec || g_watch.get() != watch) return;
                                   if (TakeEvents(*watch)) {
                                     Arm();
                                   } else {
                                     g_watching.store(false);
                                     g_changes.fetch_add(1);
                                   }
                                 });
}

}  // namespace

bool StartWatch(asio::io_context& loop) {
  StopWatch();
  const std::filesystem::path& file = Store::Default().file();
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return false;
  if (::inotify_add_watch(fd, file.parent_path().c_str(), kFileEvents | IN_ONLYDIR) < 0) {
    ::close(fd);
    return false;
  }
  auto watch = std::make_unique<Watch>(loop);
  asio::error_code ec;
  watch->descriptor.assign(fd, ec);
  if (ec) {
    ::close(fd);
    return false;
  }
  watch->name = file.filename().string();
  g_watch = std::move(watch);
  // Values kept before the watch began may be stale already.
  g_changes.fetch_add(1);
  g_watching.store(true);
  Arm();
  return true;
}

void StopWatch() {
  g_watching.store(false);
  g_changes.fetch_add(1);
  // Closing cancels the wait; its handler finds the watch gone.
  g_watch.reset();
}

bool IsWatching() { return g_watching.load(std::memory_order_relaxed); }

uint64_t ChangesSeen() { return g_changes.load(std::memory_order_relaxed); }

}  // namespace qn::reg
