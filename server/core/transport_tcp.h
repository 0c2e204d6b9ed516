// A client's TCP connection on the main loop: non-blocking socket, frames in,
// an output queue written in gathered batches as the socket accepts it.
//
// Output limits (a client that does not read cannot make the server hold
// unbounded memory):
// - above kPauseBytes queued, the connection stops handling the client's
//   packets, between one frame and the next, and asks pushing producers
//   (file sends, the client update) to rest; both resume once the queue is
//   below kResumeBytes;
// - while a consumer holds the input (HoldInput), packets are not handled
//   either, and reading resumes once the last hold goes;
// - above kMaxQueuedBytes (replies produced in one go for a client that does
//   not read), the connection is closed;
// - all connections' queues together keep to a budget (output_budget): past
//   kBudgetBytes the queues that stopped draining, then the largest, are
//   closed, as at the connection's own limit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/client_socket.h"
#include "server/core/frame_decoder.h"
#include "server/core/output_queue.h"
#include "server/core/transport_base.h"

class CTransportTCP : public CTransportBase, private qn::SocketReadiness::Watcher {
 public:
  static constexpr size_t kPauseBytes = 256 * 1024;
  static constexpr size_t kResumeBytes = 64 * 1024;
  static constexpr size_t kMaxQueuedBytes = 16 * 1024 * 1024;
  static constexpr size_t kBudgetBytes = 32 * 1024 * 1024;

  CTransportTCP();
  ~CTransportTCP() override;

  bool IsAvailable() override;
  std::string GetDescription() override { return m_description; }
  void Disconnect() override;
  // Opens the listener (process-wide); -1 when it cannot.
  int Startup() override;
  void Shutdown() override;
  void Send(CByteBlock* payload, int32_t flag) override;
  void SendParts(const uint8_t* head, size_t headLength, const uint8_t* body, size_t bodyLength) override;
  bool IsOutputBacklogged() const override { return m_nQueuedBytes > kPauseBytes; }
  int GetQueuedCount() override { return static_cast<int>(m_output.Packets()); }
  void ClearOutput() override;
  void CloseAtOnce() override;

  // Takes an accepted socket: description, status slot, reverse lookup.
  bool Attach(asio::ip::tcp::socket&& socket);
  // Starts reading; called once the server listed the connection.
  void Start();
  void OnHostName(const std::string& host);
  int GetStatusSlot() const { return m_nSlot; }
  size_t GetQueuedBytes() const { return m_nQueuedBytes; }

 protected:
  void OnInputReleased() override;

 private:
  void OnSocketEvents(uint32_t events) override;
  void WaitForRead() { m_bReadWaiting = true; }
  void PostRead();
  void OnReadable();
  // Reads until `budget` bytes were taken or the socket is empty.
  void ReadFrames(size_t budget);
  // Hands the complete frames held to the server until the output passes
  // the pause mark (the rest stays held until the queue drains) or the
  // connection ends; false when reading must stop.
  bool DeliverFrames();
  void Flush();
  static void FlushOthers();
  void PostClose();
  // The queue grew by `bytes`; keeps the sum of all queues to the budget.
  void Queued(size_t bytes);
  void Dequeued(size_t bytes);
  static void KeepToBudget();
  void CloseAtLimit();

  qn::ClientSocket m_socket;
  // Posted handlers hold a copy and find null once the connection is gone.
  std::shared_ptr<CTransportTCP*> m_token;
  qn::FrameDecoder m_decoder;
  qn::OutputQueue m_output;
  std::string m_description;
  size_t m_nQueuedBytes = 0;
  // The queue's largest size since it was last empty (memory to give back
  // once it empties), and when the socket last took bytes of it.
  size_t m_nQueuedPeak = 0;
  int64_t m_nLastDrainMs = 0;
  int m_nSlot = -1;
  uint32_t m_nLogonTimeout = 0;
  bool m_bWritable = false;
  bool m_bWriteWaiting = false;
  bool m_bReadWaiting = false;
  // A flush is posted: the packets one handler queues leave in one write.
  bool m_bFlushPosted = false;
  // The connection is reading: the replies of its frames leave in one write
  // when the read is done, without a flush posted.
  bool m_bInRead = false;
  bool m_bReadPaused = false;
  bool m_bClosing = false;
  bool m_bClosePosted = false;
};
