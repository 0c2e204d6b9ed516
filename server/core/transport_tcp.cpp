#include "server/core/transport_tcp.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "common/byte_block.h"
#include "common/registry.h"
#include "platform/main_loop.h"
#include "platform/memory_trim.h"
#include "server/core/api_log.h"
#include "server/core/counter_block.h"
#include "server/core/output_budget.h"
#include "server/core/server.h"
#include "server/core/tcp_listener.h"

namespace {
// One receive buffer for the whole loop: a connection keeps only the bytes of
// an unfinished frame.
uint8_t g_readBuffer[64 * 1024];
// Bytes taken from one connection before others get their turn.
constexpr size_t kReadBudget = 256 * 1024;
constexpr size_t kMaxGather = 64;
// While one connection's input is handled, the connections its frames gave
// output to (a chat line's occupants) are flushed when that read ends, before
// the reader's own replies: receivers are not kept waiting behind the rest of
// the loop's ready reads, and the sender's echo does not overtake them.
bool g_inRead = false;
std::vector<std::shared_ptr<CTransportTCP*>> g_flushAfterRead;

uint32_t ReadLogonTimeoutSeconds() { return CQuillnetRegistry().ReadDWORD("General", "Timeout", 15) * 60; }
CKeptSetting<uint32_t> g_logonTimeout(&ReadLogonTimeoutSeconds);

CCounterBlock* StatusBlock() {
  CServer* server = CTransportBase::GetServer();
  return server != nullptr ? server->GetStatusBlock() : nullptr;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Every connection's queue together, and the sum at which the budget is
// next looked at (raised while too few queues can be closed, so that a
// budget that cannot be met is not walked for every packet).
size_t g_totalQueued = 0;
size_t g_nextBudgetCheck = CTransportTCP::kBudgetBytes;

const qn::OutputBudget kBudget{
    CTransportTCP::kBudgetBytes,
    CTransportTCP::kBudgetBytes / 4 * 3,
    1000,
    CTransportTCP::kResumeBytes,
    CTransportTCP::kPauseBytes + CTransportTCP::kResumeBytes,
};

// Large queues that went (closed, or emptied) give their memory back to the
// system once they add up to this much, a little later, so that the closes
// of one moment share one trim. Small queues come and go with every reply
// and are left to the allocator.
constexpr size_t kLargeQueueBytes = CTransportTCP::kResumeBytes;
constexpr size_t kTrimAfterBytes = 1024 * 1024;
constexpr auto kTrimDelay = std::chrono::milliseconds(100);
size_t g_largeQueuesGone = 0;
bool g_trimPending = false;

void LargeQueueGone(size_t peak) {
  g_largeQueuesGone += peak;
  if (g_largeQueuesGone < kTrimAfterBytes || g_trimPending) return;
  g_largeQueuesGone = 0;
  g_trimPending = true;
  static asio::steady_timer* timer = new asio::steady_timer(qn::MainLoop());  // outlives the loop
  timer->expires_after(kTrimDelay);
  timer->async_wait([](const asio::error_code&) {
    g_trimPending = false;
    qn::TrimFreeMemory();
  });
}
}  // namespace

CTransportTCP::CTransportTCP() : m_token(std::make_shared<CTransportTCP*>(this)) {
  m_nLogonTimeout = *g_logonTimeout.Get();
  WriteApiLogF("c %d\r\n", GetConnectionNumber());
}

CTransportTCP::~CTransportTCP() {
  *m_token = nullptr;
  ClearOutput();
  if (m_socket.IsOpen()) {
    m_socket.Close();
    if (CCounterBlock* block = StatusBlock()) block->ReleaseSlot(m_nSlot);
  }
  WriteApiLogF("d %d\r\n", GetConnectionNumber());
}

bool CTransportTCP::IsAvailable() { return IsWinSockLoaded(); }

int CTransportTCP::Startup() { return OpenClientListener(); }

void CTransportTCP::Shutdown() { CloseClientListener(); }

bool CTransportTCP::Attach(asio::ip::tcp::socket&& socket) {
  asio::error_code ec;
  const auto peer = socket.remote_endpoint(ec);
  if (ec) return false;
  if (!m_socket.Adopt(std::move(socket), this)) return false;
  m_bWritable = true;
  const auto address = peer.address();
  m_description = "TCP/IP (" + (address.is_v4() ? address.to_v4().to_string()
                                                : address.to_string()) + ")";
  if (CCounterBlock* block = StatusBlock()) m_nSlot = block->ClaimSlot(m_description);
  return true;
}

void CTransportTCP::OnHostName(const std::string& host) {
  m_description += " (" + host + ")";
  if (CCounterBlock* block = StatusBlock()) block->SetSlotName(m_nSlot, m_description);
}

void CTransportTCP::Start() { WaitForRead(); }

void CTransportTCP::OnSocketEvents(uint32_t events) {
  if (m_bClosePosted) return;
  if (events & qn::SocketReadiness::kHangUp) {
    // A reset (or a failed socket) is the close it is, now, even while the
    // connection reads nothing: an upload it cut off, its member's session
    // and its descriptor go in this turn of the loop.
    m_bClosing = true;
    PostClose();
    return;
  }
  if ((events & qn::SocketReadiness::kOutput) && m_bWriteWaiting) {
    m_bWriteWaiting = false;
    m_bWritable = true;
    Flush();
  }
  if ((events & qn::SocketReadiness::kInput) && m_bReadWaiting && !m_bClosePosted) {
    m_bReadWaiting = false;
    OnReadable();
  }
}

void CTransportTCP::PostRead() {
  // A read that stopped before the socket was empty goes on from the loop:
  // the socket makes no new edge for bytes it already holds.
  asio::post(qn::MainLoop(), [token = m_token] {
    if (*token != nullptr) (*token)->OnReadable();
  });
}

void CTransportTCP::OnReadable() {
  if (m_bClosing) return;
  // Past the logon timeout the connection goes, but only after the frames of
  // this read are handled and their replies written.
  const bool timedOut = GetUser() == nullptr && m_nLogonTimeout != 0 &&
      std::time(nullptr) - GetCreationTime() >= static_cast<std::time_t>(m_nLogonTimeout);
  const std::shared_ptr<CTransportTCP*> token = m_token;
  m_bInRead = true;
  g_inRead = true;
  ReadFrames(timedOut ? 1 : kReadBudget);
  g_inRead = false;
  FlushOthers();
  if (*token == nullptr) return;
  m_bInRead = false;
  if (m_bWritable && !m_bClosing && !m_output.Empty()) Flush();
  if (timedOut) PostClose();
}

void CTransportTCP::FlushOthers() {
  // Flushing posts (closes, resumed reads) but never adds to the list.
  for (const auto& token : g_flushAfterRead) {
    CTransportTCP* other = *token;
    if (other == nullptr) continue;
    other->m_bFlushPosted = false;
    if (other->m_bWritable) other->Flush();
  }
  g_flushAfterRead.clear();
}

void CTransportTCP::ReadFrames(size_t budget) {
  // Frames left from a read that stopped at the pause mark go first.
  if (!DeliverFrames()) return;
  size_t taken = 0;
  while (taken < budget) {
    asio::error_code ec;
    bool more = true;
    const size_t n = m_socket.ReceiveSome(g_readBuffer, sizeof g_readBuffer, ec, more);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
      if (!m_bClosePosted) WaitForRead();
      return;
    }
    if (ec == asio::error::interrupted) continue;
    if (ec) {
      // The peer closed, reset or the socket failed: nothing more can come.
      PostClose();
      return;
    }
    taken += n;
    // Whole frames go out of the shared buffer where they stand; only the
    // start of an unfinished one is copied to the connection.
    m_decoder.Lend(g_readBuffer, n);
    if (!DeliverFrames()) return;
    if (!more) {
      // The socket was left empty: asking again would only hear so.
      if (!m_bClosePosted) WaitForRead();
      return;
    }
  }
  PostRead();
}

bool CTransportTCP::DeliverFrames() {
  for (;;) {
    // Checked before every frame: one read may hold thousands of requests,
    // and the replies of the rest wait until the client has taken these.
    if (IsOutputBacklogged() || IsInputHeld()) {
      m_decoder.Keep();
      m_bReadPaused = true;
      return false;
    }
    const uint8_t* payload = nullptr;
    size_t length = 0;
    const auto status = m_decoder.Next(payload, length);
    if (status == qn::FrameDecoder::Status::kNeedMore) return true;
    if (status == qn::FrameDecoder::Status::kTooLong) {
      PostClose();
      return false;
    }
    bool ended = false;
    try {
      OnPacket(new CByteBlock(payload, static_cast<int32_t>(length)), ended);
    } catch (...) {
      // A failure below routing (a service that cannot be made) costs the
      // packet, not the server.
      WriteApiLog("# Exception during incoming socket message\r\n");
    }
    if (ended || m_bClosing) return false;
    if (CCounterBlock* block = StatusBlock()) block->CountIn(m_nSlot, static_cast<uint32_t>(length) + 2);
  }
}

void CTransportTCP::Send(CByteBlock* payload, int32_t /*flag*/) {
  SendParts(payload->data, payload->length > 0 ? static_cast<size_t>(payload->length) : 0, nullptr, 0);
  delete payload;
}

void CTransportTCP::SendParts(const uint8_t* head, size_t headLength, const uint8_t* body, size_t bodyLength) {
  const size_t length = headLength + bodyLength;
  if (length > 0xFFFF) {
    // Its length does not fit the prefix: sent, it would shift every later
    // frame of the connection.
    WriteApiLogF("# Packet of %d bytes not sent to %d\r\n", static_cast<int>(length), GetConnectionNumber());
    return;
  }
  if (m_bClosing) return;
  if (m_nQueuedBytes + 2 + length > kMaxQueuedBytes) {
    CloseAtLimit();
    return;
  }
  m_output.PushFrame(head, headLength, body, bodyLength);
  Queued(length + 2);
  if (m_bClosing) return;  // the budget closed this very queue
  if (m_bWritable && !m_bFlushPosted && !m_bInRead) {
    m_bFlushPosted = true;
    if (g_inRead) {
      g_flushAfterRead.push_back(m_token);
      return;
    }
    asio::post(qn::MainLoop(), [token = m_token] {
      CTransportTCP* self = *token;
      if (self == nullptr) return;
      self->m_bFlushPosted = false;
      if (self->m_bWritable) self->Flush();
    });
  }
}

void CTransportTCP::Queued(size_t bytes) {
  if (m_nQueuedBytes == 0) m_nLastDrainMs = NowMs();  // the stall clock starts
  m_nQueuedBytes += bytes;
  m_nQueuedPeak = std::max(m_nQueuedPeak, m_nQueuedBytes);
  g_totalQueued += bytes;
  if (g_totalQueued > g_nextBudgetCheck) KeepToBudget();
}

void CTransportTCP::Dequeued(size_t bytes) {
  m_nQueuedBytes -= bytes;
  g_totalQueued -= bytes;
  if (g_totalQueued <= kBudgetBytes) g_nextBudgetCheck = kBudgetBytes;
  if (m_nQueuedBytes == 0) {
    if (m_nQueuedPeak >= kLargeQueueBytes) LargeQueueGone(m_nQueuedPeak);
    m_nQueuedPeak = 0;
  }
}

void CTransportTCP::KeepToBudget() {
  CServer* server = GetServer();
  if (server == nullptr) return;
  const int64_t now = NowMs();
  std::vector<qn::QueueState> queues;
  for (CTransportBase* connection : server->GetConnections()) {
    auto* tcp = dynamic_cast<CTransportTCP*>(connection);
    if (tcp == nullptr || tcp->m_nQueuedBytes == 0 || tcp->m_bClosing) continue;
    queues.push_back({tcp->GetConnectionNumber(), tcp->m_nQueuedBytes, now - tcp->m_nLastDrainMs});
  }
  for (int number : qn::ChooseQueuesToClose(kBudget, std::move(queues), g_totalQueued))
    if (auto* tcp = dynamic_cast<CTransportTCP*>(server->FindConnectionByNumber(number))) tcp->CloseAtLimit();
  // Queues that could not be closed are looked at again only once the sum
  // has grown by a quarter of the budget.
  g_nextBudgetCheck = std::max(kBudgetBytes, g_totalQueued + kBudgetBytes / 4);
}

void CTransportTCP::CloseAtLimit() {
  if (m_bClosing) return;
  WriteApiLogF("# Output limit reached, closing %d\r\n", GetConnectionNumber());
  // What waits for a client that is going is never sent: its memory goes
  // now.
  ClearOutput();
  CloseAtOnce();
}

void CTransportTCP::Flush() {
  static std::vector<qn::OutputQueue::Run> runs;  // main thread only
  static std::vector<iovec> gather;
  CCounterBlock* block = StatusBlock();
  while (!m_output.Empty() && !m_bClosing) {
    runs.clear();
    m_output.Gather(runs, kMaxGather);
    gather.clear();
    for (const auto& run : runs) gather.push_back({const_cast<uint8_t*>(run.data), run.length});
    asio::error_code ec;
    const size_t sent = m_socket.SendSome(gather.data(), gather.size(), ec);
    if (ec == asio::error::interrupted) continue;
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
      // The next output edge says when the socket takes more.
      m_bWritable = false;
      m_bWriteWaiting = true;
      return;
    }
    if (ec) {
      PostClose();
      return;
    }
    m_nLastDrainMs = NowMs();
    struct Counting {
      CCounterBlock* block;
      int slot;
    } counting{block, m_nSlot};
    m_output.Consume(sent,
                     block == nullptr || m_nSlot < 0
                         ? nullptr
                         : +[](void* context, uint32_t frameBytes) {
                             auto* c = static_cast<Counting*>(context);
                             c->block->CountOut(c->slot, frameBytes);
                           },
                     &counting);
    Dequeued(sent);
  }
  if (m_nQueuedBytes < kResumeBytes) {
    if (m_bReadPaused && !m_bClosing) {
      m_bReadPaused = false;
      PostRead();
    }
    if (m_bDrainWanted) {
      // Producers resume from the loop, not from inside this send.
      asio::post(qn::MainLoop(), [token = m_token] {
        if (*token != nullptr) (*token)->OnOutputDrained();
      });
      m_bDrainWanted = false;
    }
  }
}

void CTransportTCP::OnInputReleased() {
  if (m_bReadPaused && !m_bClosing && !IsOutputBacklogged()) {
    m_bReadPaused = false;
    PostRead();
  }
}

void CTransportTCP::Disconnect() { PostClose(); }

void CTransportTCP::ClearOutput() {
  m_output.Clear();
  Dequeued(m_nQueuedBytes);
}

void CTransportTCP::CloseAtOnce() {
  m_bClosing = true;
  m_socket.Shutdown();
  PostClose();
}

void CTransportTCP::PostClose() {
  if (m_bClosePosted) return;
  m_bClosePosted = true;
  // Replies queued before the close (a last message) still go out, as far
  // as the socket takes them.
  if (!m_bClosing && m_bWritable && !m_output.Empty()) Flush();
  m_bClosing = true;
  asio::post(qn::MainLoop(), [token = m_token] {
    CTransportTCP* self = *token;
    if (self == nullptr) return;
    CServer* server = CTransportBase::GetServer();
    if (server != nullptr) server->Lock();
    delete self;
    if (server != nullptr) server->Unlock();
  });
}
