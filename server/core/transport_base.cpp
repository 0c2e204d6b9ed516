#include "server/core/transport_base.h"

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <vector>

#include "common/byte_block.h"
#include "common/helpers.h"
#include "common/pulse.h"
#include "platform/path_layer.h"
#include "server/core/member_link.h"
#include "server/core/request_packet.h"
#include "server/core/server.h"

namespace {
CServer* g_pServer = nullptr;
int g_nNextConnection = 1;

constexpr size_t kUpdatePiece = 1024;

void SendBytes(CTransportBase* connection, const std::vector<uint8_t>& bytes) {
  connection->SendParts(bytes.data(), bytes.size(), nullptr, 0);
}

// Found as the version reader finds them, without regard to case: a file
// whose version announced an update must also be the one sent.
std::string ClientFile(const std::string& directory, const char* name) {
  return qn::path::FindExistingNoCase(directory + name);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
}  // namespace

void CTransportBase::SetServer(CServer* server) { g_pServer = server; }
CServer* CTransportBase::GetServer() { return g_pServer; }

CTransportBase::CTransportBase()
    : m_nConnection(g_nNextConnection++), m_tCreated(std::time(nullptr)), m_tLastPacket(m_tCreated) {}

CTransportBase::~CTransportBase() {
  CPulse::Stop(m_pUpdatePulse);
  m_pUpdatePulse = nullptr;
  if (m_pUpdateFile != nullptr) std::fclose(m_pUpdateFile);
  if (g_pServer != nullptr) g_pServer->RemoveConnection(this);
  DeleteConnectionUser(m_pUser);
  m_pUser = nullptr;
  ClearOutput();
}

void CTransportBase::Disconnect() { delete this; }

void CTransportBase::Send(CByteBlock* payload, int32_t /*flag*/) { m_queue.push_back(payload); }

void CTransportBase::SendParts(const uint8_t* head, size_t headLength, const uint8_t* body, size_t bodyLength) {
  auto* payload = new CByteBlock(nullptr, static_cast<int32_t>(headLength + bodyLength));
  if (headLength > 0) std::memcpy(payload->data, head, headLength);
  if (bodyLength > 0) std::memcpy(payload->data + headLength, body, bodyLength);
  Send(payload, 0);
}

void CTransportBase::ClearOutput() {
  for (CByteBlock* block : m_queue) delete block;
  m_queue.clear();
}

void CTransportBase::OnPacket(CByteBlock* block, bool& ended) {
  m_tLastPacket = std::time(nullptr);
  if (g_pServer == nullptr) {
    delete block;
    return;
  }
  g_pServer->RoutePacket(this, block, ended);
}

void CTransportBase::OnHandshakePacket(CByteBlock* packet, bool& ended) {
  std::unique_ptr<CByteBlock> owned(packet);
  if (m_nHandshakeState != kHelloExpected) {
    PumpUpdate();
    return;
  }
  const auto hello = qn::ParseHello(packet->data, static_cast<size_t>(packet->length));
  if (!hello) {
    m_nHandshakeState = kNormal;
    ended = true;
    CloseAtOnce();
    return;
  }
  if (hello->type != 1) {
    ended = true;
    CloseAtOnce();
    return;
  }
  m_nClientFlags = hello->flags;
  m_fClientVersion = hello->version;
  const float current = GetClientProgramVersion();
  if (!(current > 0.0f) || !(m_fClientVersion < current)) {
    SendBytes(this, {1, 0});
    m_nHandshakeState = kNormal;
    return;
  }
  if (m_nClientFlags & qn::kHelloFlagPullUpdate) {
    SendBytes(this, {2, 1});
  } else {
    m_pUpdatePulse = new CPulse(&CTransportBase::UpdatePulseStep, this);
    SendBytes(this, {2, 0});
  }
  m_nHandshakeState = kUpdateAnnounced;
}

void CTransportBase::UpdatePulseStep(void* connection) {
  auto* self = static_cast<CTransportBase*>(connection);
  if (self->IsOutputBacklogged()) {
    // A slow client: rest until its queue drains instead of queueing the
    // whole file in memory.
    CPulse::Stop(self->m_pUpdatePulse);
    self->m_pUpdatePulse = nullptr;
    self->m_bUpdateWaitsForDrain = true;
    self->m_bDrainWanted = true;
    return;
  }
  self->PumpUpdate();
}

void CTransportBase::PumpUpdate() {
  if (m_nHandshakeState == kUpdateAnnounced) {
    const std::string directory = GetProgramDirectory();
    std::string path = ClientFile(directory, "QUILLNET.EXE");
    if (static_cast<double>(m_fClientVersion) < 2.02) {
      const std::string updater = ClientFile(directory, "QNCLIUPD.EXE");
      if (FileExists(updater)) path = updater;
    }
    struct stat st;
    m_pUpdateFile = std::fopen(path.c_str(), "rb");
    if (m_pUpdateFile == nullptr || ::fstat(fileno(m_pUpdateFile), &st) != 0) {
      // The client was told an update comes; with no file the connection
      // goes on as if accepted.
      EndUpdate();
      return;
    }
    SendBytes(this, qn::EncodeUpdateHeader(static_cast<uint32_t>(st.st_size),
                                           static_cast<uint32_t>(st.st_mtime)));
    m_nHandshakeState = kUpdateSending;
    return;
  }
  if (m_nHandshakeState == kUpdateSending) {
    uint8_t piece[kUpdatePiece];
    const size_t n = std::fread(piece, 1, sizeof piece, m_pUpdateFile);
    if (n > 0) {
      SendParts(piece, n, nullptr, 0);
      return;
    }
    EndUpdate();
    return;
  }
  EndUpdate();
}

void CTransportBase::EndUpdate() {
  if (m_pUpdateFile != nullptr) std::fclose(m_pUpdateFile);
  m_pUpdateFile = nullptr;
  m_nHandshakeState = kNormal;
  m_bUpdateWaitsForDrain = false;
  // From inside its own step the pulse ends after the step returns.
  CPulse::Stop(m_pUpdatePulse);
  m_pUpdatePulse = nullptr;
}

void CTransportBase::OnOutputDrained() {
  m_bDrainWanted = false;
  if (m_bUpdateWaitsForDrain) {
    m_bUpdateWaitsForDrain = false;
    if (m_nHandshakeState == kUpdateAnnounced || m_nHandshakeState == kUpdateSending)
      m_pUpdatePulse = new CPulse(&CTransportBase::UpdatePulseStep, this);
  }
  if (g_pServer != nullptr) g_pServer->OnOutputDrained(this);
}
