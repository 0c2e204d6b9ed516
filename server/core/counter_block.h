// Live counters of the server and its first 32 connections in shared memory,
// laid out as performance-counter data blocks for an outside reader:
//   slot i at 144*i: in use, 59+1 UTF-16 name chars, length 20, packets in,
//   packets out, bytes in, bytes out;
//   totals at 4608: length 24, connections, users, open requests, chat rooms
//   in use, chat occupants.
// All values are little-endian 32-bit; only the main thread writes them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

class CCounterBlock {
 public:
  static constexpr size_t kMappingSize = 65536;
  static constexpr size_t kHeapSize = 10240;
  static constexpr int kSlots = 32;
  static constexpr size_t kSlotSize = 144;
  static constexpr size_t kNameChars = 59;
  static constexpr size_t kTotals = 0x1200;

  enum Total { kConnections = 1, kUsers = 2, kOpenRequests = 3, kChatRooms = 4, kChatOccupants = 5 };

  // Creates or opens the named block. Another server holding the same block
  // leaves the address null: this is the single-instance test. So does a
  // block of another account (GetRefusal says so).
  explicit CCounterBlock(const std::string& name);
  ~CCounterBlock();
  CCounterBlock(const CCounterBlock&) = delete;
  CCounterBlock& operator=(const CCounterBlock&) = delete;

  // The block's name for this installation: the system's own for the default
  // root, with a suffix of the root's tag for any other.
  static std::string NameForRoot(const std::string& base);

  uint8_t* GetAddress() const { return m_pAddress; }
  // Why an existing block was not used (it belongs to another account),
  // naming its path; empty otherwise.
  const std::string& GetRefusal() const { return m_strRefusal; }
  void Close();

  // Lengths set, totals zero, every slot free.
  void Initialise();

  // Counts a connection and gives it the first free slot; -1 when all 32 are
  // taken (the connection is still counted in the total).
  int ClaimSlot(const std::string& description);
  void ReleaseSlot(int slot);
  void SetSlotName(int slot, const std::string& description);
  void CountIn(int slot, uint32_t bytes);
  void CountOut(int slot, uint32_t bytes);

  void SetTotal(Total which, uint32_t value);
  void AddTotal(Total which, int32_t delta);
  uint32_t GetTotal(Total which) const;

  uint32_t Read32(size_t offset) const;

 private:
  void Write32(size_t offset, uint32_t value);
  void Refuse();

  std::string m_name;
  std::string m_strRefusal;
  int m_fd = -1;
  uint8_t* m_pAddress = nullptr;
  bool m_bHeap = false;
};
