#include "server/core/row_stream.h"

#include "common/pulse.h"
#include "server/core/api_log.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/service_base.h"
#include "server/core/transport_base.h"

CRowStream::CRowStream(CServiceBase* service, CRowSource source)
    : m_pService(service), m_source(std::move(source)) {}

CRowStream::~CRowStream() { CPulse::Stop(m_pPulse); }

int CRowStream::Start() {
  try {
    if (!Step()) return 0;
  } catch (const std::exception& e) {
    return FailureCode(&e);
  } catch (...) {
    return FailureCode(nullptr);
  }
  m_pPulse = new CPulse(&CRowStream::PulseStep, this);
  return 0;
}

void CRowStream::PulseStep(void* stream) {
  auto* self = static_cast<CRowStream*>(stream);
  CRequestContext* request = self->m_pService->GetRequest();
  CTransportBase* connection = request->GetConnection();
  if (connection->IsOutputBacklogged()) {
    // Rows wait until the client has read what is queued.
    CPulse::Stop(self->m_pPulse);
    self->m_pPulse = nullptr;
    self->m_bResting = true;
    connection->WantDrainNotice();
    return;
  }
  uint16_t code = 0;
  try {
    self->Step();
    return;  // the stream may be gone
  } catch (const std::exception& e) {
    code = self->FailureCode(&e);
  } catch (...) {
    code = self->FailureCode(nullptr);
  }
  // A read that failed would fail again at every step, and a list cut short
  // must not look complete: the client hears why it ends.
  CPulse::Stop(self->m_pPulse);
  self->m_pPulse = nullptr;
  request->FailRequest(code);  // deletes the service, and this stream with it
}

void CRowStream::OnOutputDrained() {
  if (!m_bResting) return;
  m_bResting = false;
  m_pPulse = new CPulse(&CRowStream::PulseStep, this);
}

bool CRowStream::Step() {
  CRequestContext* request = m_pService->GetRequest();
  CTransportBase* connection = request->GetConnection();
  const bool levels = static_cast<bool>(m_source.nextLevel);
  for (int unit = 0; unit < kUnitsPerStep; ++unit) {
    bool more = true;
    if (!m_source.atEnd()) {
      m_source.sendRow();
      // A flat list's end leaves with its last row.
      more = levels || !m_source.atEnd();
    } else {
      more = levels && m_source.nextLevel();
    }
    if (!more) {
      if (m_source.finish) m_source.finish();
      request->EndRequest();
      return false;
    }
    if (connection->IsOutputBacklogged()) break;
  }
  return true;
}

uint16_t CRowStream::FailureCode(const std::exception* error) const {
  const std::string& service = m_pService->GetServiceName();
  WriteApiLog("# Exception in service " + service + (error != nullptr ? std::string(": ") + error->what() : "") +
              "\r\n");
  if (error != nullptr && m_source.failureCode) return m_source.failureCode(*error);
  return qn::kResultServiceException;
}
