#include "server/core/counter_block.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/paths.h"

namespace {
constexpr size_t kSlotInUse = 0;
constexpr size_t kSlotName = 4;
constexpr size_t kSlotLength = 0x7C;
constexpr size_t kSlotPacketsIn = 0x80;
constexpr size_t kSlotPacketsOut = 0x84;
constexpr size_t kSlotBytesIn = 0x88;
constexpr size_t kSlotBytesOut = 0x8C;

// A killed server's lock goes with the last of its resources, which can be a
// moment after its process has gone (and after the service control has seen it
// stop); a restart right away waits out that moment before it takes the lock
// for a running server's.
bool LockBlock(int fd) {
  for (int attempt = 0; attempt < 40; ++attempt) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return false;
    ::usleep(50 * 1000);
  }
  return false;
}
}  // namespace

std::string CCounterBlock::NameForRoot(const std::string& base) {
  const std::string tag = qn::paths::RootTag();
  return tag.empty() ? base : base + "." + tag;
}

CCounterBlock::CCounterBlock(const std::string& name) : m_name("/" + name) {
  // Readable by others (the counter reader may run under another account),
  // written by this account only: a block another account made is never
  // used, nor one that others could write and may hold mapped.
  int fd = ::shm_open(m_name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    fd = ::shm_open(m_name.c_str(), O_RDWR | O_CLOEXEC, 0);
    struct stat st;
    if (fd < 0 && (errno == EACCES || errno == EPERM)) {
      Refuse();
      return;
    }
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid())) {
      ::close(fd);
      Refuse();
      return;
    }
    if (fd >= 0 && (st.st_mode & 022) != 0) {
      // Left open to writers by an earlier version: unless a running server
      // holds it, it goes and a fresh one takes its name.
      if (!LockBlock(fd)) {
        ::close(fd);
        return;
      }
      ::shm_unlink(m_name.c_str());
      ::close(fd);
      fd = ::shm_open(m_name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0644);
    }
  }
  if (fd < 0) {
    std::fprintf(stderr, "VGA: Could not Create Mapped Object for Counters %x\n",
                 static_cast<unsigned>(errno));
    m_pAddress = static_cast<uint8_t*>(::operator new(kHeapSize));
    std::memset(m_pAddress, 0, kHeapSize);
    m_bHeap = true;
    return;
  }
  ::fchmod(fd, 0644);  // whatever the umask
  // The lock lives as long as this process: a second server of the same root
  // finds it taken, while a crashed one leaves nothing behind.
  if (!LockBlock(fd) || ::ftruncate(fd, kMappingSize) != 0) {
    ::close(fd);
    return;
  }
  void* view = ::mmap(nullptr, kMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    std::fprintf(stderr, "VGA: Failed to Map View of File %x\n", static_cast<unsigned>(errno));
    ::close(fd);
    return;
  }
  m_fd = fd;
  m_pAddress = static_cast<uint8_t*>(view);
}

void CCounterBlock::Refuse() {
  m_strRefusal = "The shared status block /dev/shm" + m_name +
                 " belongs to another account and is not used; remove it, or start the server "
                 "under the account that owns it.";
}

CCounterBlock::~CCounterBlock() { Close(); }

void CCounterBlock::Close() {
  if (m_pAddress == nullptr) return;
  if (m_bHeap) {
    ::operator delete(m_pAddress);
  } else {
    ::munmap(m_pAddress, kMappingSize);
    ::shm_unlink(m_name.c_str());
    ::close(m_fd);
    m_fd = -1;
  }
  m_pAddress = nullptr;
}

uint32_t CCounterBlock::Read32(size_t offset) const {
  const uint8_t* p = m_pAddress + offset;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void CCounterBlock::Write32(size_t offset, uint32_t value) {
  uint8_t* p = m_pAddress + offset;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void CCounterBlock::Initialise() {
  if (m_pAddress == nullptr) return;
  Write32(kTotals, 24);
  for (int t = kConnections; t <= kChatOccupants; ++t) SetTotal(static_cast<Total>(t), 0);
  for (int i = 0; i < kSlots; ++i) {
    Write32(kSlotSize * i + kSlotInUse, 0);
    Write32(kSlotSize * i + kSlotLength, 20);
  }
}

int CCounterBlock::ClaimSlot(const std::string& description) {
  if (m_pAddress == nullptr) return -1;
  AddTotal(kConnections, 1);
  for (int i = 0; i < kSlots; ++i) {
    const size_t base = kSlotSize * i;
    if (Read32(base + kSlotInUse) != 0) continue;
    Write32(base + kSlotInUse, 1);
    SetSlotName(i, description);
    Write32(base + kSlotLength, 20);
    for (size_t f : {kSlotPacketsIn, kSlotPacketsOut, kSlotBytesIn, kSlotBytesOut}) Write32(base + f, 0);
    return i;
  }
  return -1;
}

void CCounterBlock::ReleaseSlot(int slot) {
  if (m_pAddress == nullptr) return;
  AddTotal(kConnections, -1);
  if (slot >= 0 && slot < kSlots) Write32(kSlotSize * slot + kSlotInUse, 0);
}

void CCounterBlock::SetSlotName(int slot, const std::string& description) {
  if (m_pAddress == nullptr || slot < 0 || slot >= kSlots) return;
  uint8_t* name = m_pAddress + kSlotSize * slot + kSlotName;
  std::memset(name, 0, (kNameChars + 1) * 2);
  const size_t n = description.size() < kNameChars ? description.size() : kNameChars;
  for (size_t i = 0; i < n; ++i) {
    // Descriptions are ASCII (addresses, host names); other bytes pass as
    // Latin-1 code points.
    name[2 * i] = static_cast<uint8_t>(description[i]);
    name[2 * i + 1] = 0;
  }
}

void CCounterBlock::CountIn(int slot, uint32_t bytes) {
  if (m_pAddress == nullptr || slot < 0 || slot >= kSlots) return;
  const size_t base = kSlotSize * slot;
  Write32(base + kSlotPacketsIn, Read32(base + kSlotPacketsIn) + 1);
  Write32(base + kSlotBytesIn, Read32(base + kSlotBytesIn) + bytes);
}

void CCounterBlock::CountOut(int slot, uint32_t bytes) {
  if (m_pAddress == nullptr || slot < 0 || slot >= kSlots) return;
  const size_t base = kSlotSize * slot;
  Write32(base + kSlotPacketsOut, Read32(base + kSlotPacketsOut) + 1);
  Write32(base + kSlotBytesOut, Read32(base + kSlotBytesOut) + bytes);
}

void CCounterBlock::SetTotal(Total which, uint32_t value) {
  if (m_pAddress != nullptr) Write32(kTotals + 4 * static_cast<size_t>(which), value);
}

void CCounterBlock::AddTotal(Total which, int32_t delta) {
  if (m_pAddress == nullptr) return;
  const size_t offset = kTotals + 4 * static_cast<size_t>(which);
  Write32(offset, Read32(offset) + static_cast<uint32_t>(delta));
}

uint32_t CCounterBlock::GetTotal(Total which) const {
  return m_pAddress == nullptr ? 0 : Read32(kTotals + 4 * static_cast<size_t>(which));
}
