#include "server/core/transport_tcp.h"

#include <asio/post.hpp>
#include <cstdio>
#include <vector>

#include "common/byte_block.h"
#include "common/registry.h"
#include "platform/main_loop.h"
#include "server/core/api_log.h"
#include "server/core/counter_block.h"
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
}  // namespace

CTransportTCP::CTransportTCP()
    : m_socket(qn::MainLoop()), m_token(std::make_shared<CTransportTCP*>(this)) {
  m_nLogonTimeout = *g_logonTimeout.Get();
  WriteApiLogF("c %d\r\n", GetConnectionNumber());
}

CTransportTCP::~CTransportTCP() {
  *m_token = nullptr;
  if (m_socket.is_open()) {
    asio::error_code ec;
    m_socket.close(ec);
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
  socket.non_blocking(true, ec);
  if (ec) return false;
  socket.set_option(asio::ip::tcp::no_delay(true), ec);
  m_socket = std::move(socket);
  m_socket.EnableReceiveHint();
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

void CTransportTCP::WaitForRead() {
  m_socket.WaitReadable([token = m_token](const asio::error_code& ec) {
    if (*token == nullptr || ec) return;
    (*token)->OnReadable();
  });
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
  if (payload->length > 0xFFFF) {
    // Its length does not fit the prefix: sent, it would shift every later
    // frame of the connection.
    WriteApiLogF("# Packet of %d bytes not sent to %d\r\n", payload->length, GetConnectionNumber());
    delete payload;
    return;
  }
  if (m_bClosing || m_nQueuedBytes + 2 + static_cast<size_t>(payload->length) > kMaxQueuedBytes) {
    delete payload;
    if (!m_bClosing) {
      WriteApiLogF("# Output limit reached, closing %d\r\n", GetConnectionNumber());
      CloseAtOnce();
    }
    return;
  }
  m_output.PushFrame(payload->data, static_cast<size_t>(payload->length));
  m_nQueuedBytes += static_cast<size_t>(payload->length) + 2;
  delete payload;
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

void CTransportTCP::Flush() {
  static std::vector<qn::OutputQueue::Run> runs;  // main thread only
  static std::vector<asio::const_buffer> gather;
  CCounterBlock* block = StatusBlock();
  while (!m_output.Empty() && !m_bClosing) {
    runs.clear();
    m_output.Gather(runs, kMaxGather);
    gather.clear();
    for (const auto& run : runs) gather.push_back(asio::buffer(run.data, run.length));
    asio::error_code ec;
    const size_t sent = m_socket.write_some(gather, ec);
    if (ec == asio::error::interrupted) continue;
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
      m_bWritable = false;
      if (!m_bWriteWaiting) {
        m_bWriteWaiting = true;
        m_socket.async_wait(asio::socket_base::wait_write,
                            [token = m_token](const asio::error_code& error) {
                              CTransportTCP* self = *token;
                              if (self == nullptr) return;
                              self->m_bWriteWaiting = false;
                              if (error) return;
                              self->m_bWritable = true;
                              self->Flush();
                            });
      }
      return;
    }
    if (ec) {
      PostClose();
      return;
    }
    m_nQueuedBytes -= sent;
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
  m_nQueuedBytes = 0;
}

void CTransportTCP::CloseAtOnce() {
  m_bClosing = true;
  asio::error_code ec;
  m_socket.shutdown(asio::socket_base::shutdown_both, ec);
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
