#include "server/core/server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/byte_block.h"
#include "common/event_log_source.h"
#include "common/module_registration.h"
#include "common/outgoing_message.h"
#include "platform/main_loop.h"
#include "server/core/api_log.h"
#include "server/core/counter_block.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/service_base.h"
#include "server/core/service_factory.h"
#include "server/core/tcp_listener.h"
#include "server/core/transport_tcp.h"
#include "server/core/upload_journal.h"
#include "server/data/connection_pool.h"

CServer::CServer() = default;

CServer::~CServer() {
  for (CRequestContext* request : m_requests) delete request;
}

bool CServer::Start() {
  InitDatabasePool();
  LoadWinSock();
  CModuleRegistration::InitAll();
  // Every class is created once and asked whether it is available, so that
  // a broken class shows at start rather than at the first request.
  for (const CServiceClass& serviceClass : GetServiceClasses()) {
    try {
      std::unique_ptr<CServiceBase> probe(serviceClass.create());
      probe->IsAvailable();
    } catch (...) {
      WriteApiLog("# Exception while creating " + serviceClass.className + "\r\n");
    }
  }
  {
    CTransportTCP probe;
    probe.IsAvailable();
  }
  const bool listening = StartTransports(this);
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  m_pStatusBlock = std::make_unique<CCounterBlock>(
      CCounterBlock::NameForRoot("QuillnetSvrAndConnections"));
  if (m_pStatusBlock->GetAddress() == nullptr) {
    // A second server of the installation also finds the port taken: the
    // block's answer says what is really wrong.
    if (!m_pStatusBlock->GetRefusal().empty()) {
      std::fprintf(stderr, "%s\n", m_pStatusBlock->GetRefusal().c_str());
      m_nStartError = EACCES;
    } else {
      std::fprintf(stderr, "An instance of the Quillnet NT Server is (probably) already running.\n");
      m_nStartError = EBUSY;
    }
    m_pStatusBlock.reset();
    return false;
  }
  if (!listening) {
    // A server without its listener would run on, reachable by nobody.
    std::fprintf(stderr, "%s\n", ClientListenerFailure().c_str());
    ReportEventError(ClientListenerFailure());
    m_nStartError = static_cast<uint32_t>(ClientListenerErrno());
    return false;
  }
  m_pStatusBlock->Initialise();
  // Only now is this the installation's one server: what a killed one left
  // of its uploads is no other server's.
  RemoveLeftoverUploadFiles();
  // Silent connections go with the user timer's pass (user_timer).
  return true;
}

void CServer::Stop() {
  StopTransports();
  {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    while (!m_connections.empty()) {
      CTransportBase* connection = m_connections.front();
      RemoveConnection(connection);
      delete connection;
    }
  }
  CModuleRegistration::TermAll();
  TermDatabasePool();
  UnloadWinSock();
  if (m_pStatusBlock) m_pStatusBlock->Close();
  m_pStatusBlock.reset();
  CTransportBase::SetServer(nullptr);
}

bool CServer::AddConnection(CTransportBase* connection) {
  if (!IsAcceptingConnections()) {
    delete connection;
    return false;
  }
  {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_connections.push_back(connection);
    m_index[connection] = std::prev(m_connections.end());
    m_byNumber[connection->GetConnectionNumber()] = connection;
    connection->m_bListed = true;
  }
  connection->SetHandshakeState(CTransportBase::kHelloExpected);
  return true;
}

void CServer::RemoveConnection(CTransportBase* connection) {
  const auto it = m_index.find(connection);
  if (it != m_index.end()) {
    m_connections.erase(it->second);
    m_index.erase(it);
    m_byNumber.erase(connection->GetConnectionNumber());
    connection->m_bListed = false;
  }
  if (connection->m_nOpenRequests == 0) return;
  const std::vector<CRequestContext*>* listed = RequestsOf(connection);
  if (listed == nullptr) return;
  const std::vector<CRequestContext*> gone = *listed;
  for (CRequestContext* request : gone) RemoveContext(request);
}

std::vector<CRequestContext*>* CServer::RequestsOf(const CTransportBase* connection) {
  const auto it = m_byConnection.find(connection);
  return it == m_byConnection.end() ? nullptr : &it->second;
}

void CServer::RemoveContext(CRequestContext* request) {
  if (!request->m_bListed) return;
  m_requests.erase(request->m_listPos);
  request->m_bListed = false;
  const auto own = m_byConnection.find(request->GetConnection());
  if (own != m_byConnection.end()) {
    std::vector<CRequestContext*>& list = own->second;
    list.erase(std::find(list.begin(), list.end(), request));
    if (list.empty()) m_byConnection.erase(own);
  }
  --request->GetConnection()->m_nOpenRequests;
  UpdateOpenRequests();
  request->Release();
}

void CServer::UpdateOpenRequests() {
  if (m_pStatusBlock)
    m_pStatusBlock->SetTotal(CCounterBlock::kOpenRequests, static_cast<uint32_t>(m_requests.size()));
}

void CServer::RoutePacket(CTransportBase* connection, CByteBlock* packet, bool& ended) {
  if (connection->GetHandshakeState() != CTransportBase::kNormal) {
    connection->OnHandshakePacket(packet, ended);
    return;
  }
  if (packet->length < 3) {
    delete packet;
    return;
  }
  const uint16_t id = qn::GetPacketRequestId(packet->data, static_cast<size_t>(packet->length));
  if (id != 0) {
    CRequestContext* found = nullptr;
    if (const std::vector<CRequestContext*>* listed = RequestsOf(connection)) {
      for (CRequestContext* request : *listed) {
        if (request->GetRequestId() == id) {
          found = request;
          break;
        }
      }
    }
    if (found == nullptr) {
      delete packet;
    } else if (packet->data[0] == qn::kPacketMoreData) {
      found->OnFollowUpPacket(packet);
    } else {
      delete packet;
      RemoveContext(found);
    }
    return;
  }
  if (connection->m_nOpenRequests >= kMaxOpenRequests) {
    delete packet;
    WriteApiLogF("# Too many open requests, closing %d\r\n", connection->GetConnectionNumber());
    ended = true;
    connection->Disconnect();
    return;
  }
  bool requestEnded = false;
  auto* request = new CRequestContext(this, packet, connection, requestEnded);
  if (requestEnded) {
    request->Release();
    return;
  }
  request->m_listPos = m_requests.insert(m_requests.end(), request);
  request->m_bListed = true;
  m_byConnection[connection].push_back(request);
  ++connection->m_nOpenRequests;
  UpdateOpenRequests();
}

void CServer::SendToConnection(COutgoingMessage* message) {
  CByteBlock* payload = message->GetPayload();
  if (HasConnection(message->GetTarget()))
    message->GetTarget()->Send(payload, message->GetFlag());
  else
    delete payload;
  delete message;
}

bool CServer::HasConnection(const CTransportBase* connection) const {
  return m_index.find(connection) != m_index.end();
}

CTransportBase* CServer::FindConnectionByNumber(int number) const {
  const auto it = m_byNumber.find(number);
  return it == m_byNumber.end() ? nullptr : it->second;
}

void CServer::DropSilentConnections(std::time_t now) {
  std::lock_guard<std::recursive_mutex> guard(m_lock);
  for (auto it = m_connections.begin(); it != m_connections.end();) {
    CTransportBase* connection = *it++;
    if (now - connection->GetLastPacketTime() >= kSilenceSeconds) delete connection;
  }
}

void CServer::OnOutputDrained(CTransportBase* connection) {
  if (connection->m_nOpenRequests == 0) return;
  const std::vector<CRequestContext*>* listed = RequestsOf(connection);
  if (listed == nullptr) return;
  // A copy: a service going on may end requests.
  const std::vector<CRequestContext*> waiting = *listed;
  for (CRequestContext* request : waiting)
    if (CServiceBase* service = request->GetService()) service->OnOutputDrained();
}
