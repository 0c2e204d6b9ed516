#include "server/core/request_context.h"

#include <strings.h>

#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "common/byte_block.h"
#include "common/outgoing_message.h"
#include "server/core/api_log.h"
#include "server/core/request_packet.h"
#include "server/core/server.h"
#include "server/core/service_base.h"
#include "server/core/service_factory.h"
#include "server/core/transport_tcp.h"

namespace {

// Before logon a connection may reach only these services. The name from
// the client ends at its first zero byte, as the packet does.
bool AllowedBeforeLogon(const std::string& service) {
  const char* name = service.c_str();
  return strcasecmp(name, "Logon") == 0 || strcasecmp(name, "WIP") == 0 || strcasecmp(name, "CAM") == 0;
}

}  // namespace

CRequestContext::CRequestContext(CServer* server, CByteBlock* packet, CTransportBase* connection,
                                 bool& ended)
    : m_pServer(server), m_pConnection(connection) {
  ended = true;
  std::unique_ptr<CByteBlock> owned(packet);
  auto parsed = qn::ParseRequestPacket(packet->data, static_cast<size_t>(packet->length));
  if (!parsed) return;
  m_nRequestId = parsed->requestId;
  m_strService = std::move(parsed->service);
  m_strItem = std::move(parsed->item);
  m_strParams = std::move(parsed->params);
  owned.reset();
  ended = false;

  if (connection->GetUser() != nullptr || AllowedBeforeLogon(m_strService))
    m_pService = CreateByName(m_strService);
  if (m_pService == nullptr) {
    ended = true;
    SendResult(qn::kResultNoService);
    return;
  }
  m_pService->BindRequest(this, m_strService, m_strItem, m_strParams);

  const bool logged = IsApiLogOn() && dynamic_cast<CTransportTCP*>(connection) != nullptr;
  if (logged) {
    std::string line = "s " + std::to_string(connection->GetConnectionNumber()) + " " +
                       std::to_string(m_nRequestId) + " " + m_strService + ";" + m_strItem + ";";
    const int count = m_pService->GetParamCount();
    for (int i = 0; i < count; ++i) {
      std::string param;
      if (m_pService->GetParam(i, param) != 0) break;
      if (i > 0) line += ",";
      line += m_pService->IsSecretParam(i) ? "*****" : param;
    }
    line += ";\r\n";
    WriteApiLog(line);
    m_pService->ResetParamIndex();
  }

  ++m_nBusy;
  const int result = Guarded([&] { return m_pService->ProcessRequest(); });
  --m_nBusy;
  if (result != 0) {
    ended = true;
    SendResult(static_cast<uint16_t>(result));
    if (logged) WriteApiLog("# failed\r\n");
  }
  if (m_bFinished) ended = true;
}

CRequestContext::~CRequestContext() { delete m_pService; }

void CRequestContext::Release() {
  if (m_nBusy > 0) {
    m_bReleased = true;
    return;
  }
  delete this;
}

template <class Call>
int CRequestContext::Guarded(Call call) {
  try {
    return call();
  } catch (const std::exception& e) {
    WriteApiLog(std::string("# Exception in service ") + m_strService + ": " + e.what() + "\r\n");
  } catch (...) {
    WriteApiLog("# Exception in service " + m_strService + "\r\n");
  }
  // A service that failed half-way cannot go on: the request ends with the
  // code for a caught exception.
  return qn::kResultServiceException;
}

void CRequestContext::SendPacket(uint8_t type, CByteBlock* body, int32_t flag) {
  const std::unique_ptr<CByteBlock> owned(body);
  SendPacket(type, body != nullptr ? body->data : nullptr,
             body != nullptr ? static_cast<size_t>(body->length) : 0, flag);
}

void CRequestContext::SendPacket(uint8_t type, const uint8_t* body, size_t length, int32_t /*flag*/) {
  uint8_t header[qn::kIdHeaderLength];
  qn::WriteIdHeader(header, type, m_nRequestId);
  // A connection still listed is the one the server would send to (a request
  // never outlives its connection's listing): no look-up per packet. The
  // header and the body go straight into the connection's queue.
  if (m_pConnection->m_bListed) m_pConnection->SendParts(header, sizeof header, body, length);
}

void CRequestContext::SendData(CByteBlock* body, int32_t flag) { SendPacket(qn::kPacketSchema, body, flag); }

void CRequestContext::SendMoreData(CByteBlock* body, int32_t flag) {
  SendPacket(qn::kPacketMoreData, body, flag);
}

void CRequestContext::SendMoreData(const uint8_t* body, size_t length) {
  SendPacket(qn::kPacketMoreData, body, length, 0);
}

void CRequestContext::SendMoreData(const CByteBlock& body, int32_t flag) {
  SendPacket(qn::kPacketMoreData, body.data, static_cast<size_t>(body.length), flag);
}

void CRequestContext::SendResult(uint16_t code) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)};
  SendPacket(qn::kPacketResult, bytes, sizeof bytes, 0);
}

void CRequestContext::EndRequest() {
  if (m_bFinished) return;
  m_bFinished = true;
  SendPacket(qn::kPacketEnd, nullptr, 0);
  m_pServer->RemoveContext(this);
}

void CRequestContext::FailRequest(uint16_t code) {
  if (m_bFinished) return;
  m_bFinished = true;
  SendResult(code);
  m_pServer->RemoveContext(this);
}

void CRequestContext::OnFollowUpPacket(CByteBlock* packet) {
  // The packet becomes its own data: the header goes, the bytes stay put.
  std::unique_ptr<CByteBlock> data(packet);
  if (data->length > 3) {
    std::memmove(data->data, data->data + 3, static_cast<size_t>(data->length) - 3);
    data->length -= 3;
  } else {
    data->length = 0;
  }
  if (m_pService == nullptr) return;
  ++m_nBusy;
  int result = 0;
  if (m_nMode == kModeData) {
    m_pService->SetReceivedBlock(data.get());
    result = Guarded([&] { return m_pService->ReceiveStep(); });
    if (!m_bReleased) m_pService->SetReceivedBlock(nullptr);
  } else {
    if (data->length > 0)
      m_strParams.assign(reinterpret_cast<const char*>(data->data), static_cast<size_t>(data->length));
    else
      m_strParams.clear();
    m_pService->BindRequest(this, m_strService, m_strItem, m_strParams);
    result = Guarded([&] { return m_pService->OnMoreParams(); });
  }
  --m_nBusy;
  if (m_bReleased) {
    delete this;
    return;
  }
  if (result != 0) SendResult(static_cast<uint16_t>(result));
}

std::string CRequestContext::Dump() const {
  return "\nService = " + m_strService + "\nItem    = " + m_strItem + "\nParams  = " + m_strParams +
         "\nURC     = " + std::to_string(m_nRequestId);
}
