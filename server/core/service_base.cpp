#include "server/core/service_base.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "common/byte_block.h"
#include "common/drive_paths.h"
#include "common/helpers.h"
#include "common/pulse.h"
#include "common/registry.h"
#include "server/core/api_log.h"
#include "server/core/member_link.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/transport_base.h"

namespace {
const std::string kEmpty;
}

CServiceBase::CServiceBase() : m_pService(&kEmpty), m_pItem(&kEmpty), m_pParams(&kEmpty) {
  CDriveConnectionsMultiReg().ReadList(m_driveConnections);
}

CServiceBase::~CServiceBase() {
  // A running step of the pulse finishes first; none follows.
  CPulse::Stop(m_pTransferPulse);
  m_pTransferPulse = nullptr;
  if (m_pTransferFile != nullptr) {
    std::fclose(m_pTransferFile);
    m_pTransferFile = nullptr;
    // A file being received stays as far as it came.
    if (m_bSending && m_bDeleteAfter) ::unlink(m_strTransferPath.c_str());
  }
}

void CServiceBase::OnSendFileDone() { m_pRequest->EndRequest(); }
void CServiceBase::OnReceiveFileDone() { m_pRequest->EndRequest(); }
int CServiceBase::OnMoreParams() { return qn::kResultMissing; }
int CServiceBase::OnDataBlock() { return qn::kResultMissing; }

void CServiceBase::BindRequest(CRequestContext* request, const std::string& service,
                               const std::string& item, const std::string& params) {
  m_pRequest = request;
  m_pService = &service;
  m_pItem = &item;
  m_pParams = &params;
  m_pUser = request->GetConnection() != nullptr ? request->GetConnection()->GetUser() : nullptr;
  m_nParamIndex = 0;
}

int CServiceBase::GetParamCount() const {
  int count = 1;
  for (char c : *m_pParams)
    if (c == qn::kParamSeparator) ++count;
  return count;
}

int CServiceBase::GetParam(int index, std::string& out) {
  m_nParamIndex = index + 1;
  const std::string& params = *m_pParams;
  size_t pos = 0;
  for (int skipped = 0; skipped < index; ++skipped) {
    pos = params.find(qn::kParamSeparator, pos);
    if (pos == std::string::npos) return qn::kResultMissing;
    ++pos;
  }
  if (index < 0 || pos >= params.size()) return qn::kResultMissing;
  const size_t end = params.find(qn::kParamSeparator, pos);
  out = params.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
  return 0;
}

int CServiceBase::GetNextParam(std::string& out) { return GetParam(m_nParamIndex, out); }

int CServiceBase::GetNextParamLong(int32_t& out) {
  std::string text;
  const int result = GetNextParam(text);
  if (result != 0) return result;
  out = static_cast<int32_t>(std::atol(text.c_str()));
  return 0;
}

std::string CServiceBase::ResolvePath(const std::string& path) {
  // CD-ROM drives, whose files the system first copies to a temporary file,
  // do not occur on this machine; remote and unknown drives go through the
  // configured drive connections.
  if (path.size() < 2 || path[1] != ':') return path;
  const int type = DriveType(path.substr(0, 2) + "\\");
  if (type != 0 && type != 1 && type != 4) return path;
  for (const std::string& connection : m_driveConnections) {
    if (connection.empty() || connection[0] != path[0]) continue;
    const size_t tab = connection.find('\t');
    if (tab == std::string::npos) continue;
    const std::string target = connection.substr(tab + 1);
    return "\\\\?\\UNC" + (target.empty() ? std::string() : target.substr(1)) + path.substr(2);
  }
  return path;
}

bool CServiceBase::SendFile(const std::string& path, bool deleteAfter) {
  const std::string native = ToNativePath(ResolvePath(path));
  if (native.empty()) return false;
  struct stat st;
  if (::stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::FILE* file = std::fopen(native.c_str(), "rb");
  if (file == nullptr) return false;
  m_pTransferFile = file;
  m_strTransferPath = native;

  const int32_t pieces = static_cast<int32_t>((st.st_size + kFilePiece - 1) / kFilePiece);
  m_pFileSchema = std::make_unique<CColumnTypes>(1, 1 + pieces);
  m_pFileSchema->AddColumn(kColumnBinary, "Block");
  m_pRequest->SendData(m_pFileSchema->BuildPacket());
  uint8_t stamp[4];
  const uint32_t modified = static_cast<uint32_t>(st.st_mtime);
  for (int i = 0; i < 4; ++i) stamp[i] = static_cast<uint8_t>(modified >> (8 * i));
  SendRowOfBytes(stamp, sizeof stamp);

  m_bSending = true;
  if (m_pRequest->GetConnection()->GetClientFlags() & qn::kHelloFlagAckBlocks)
    m_pRequest->SetMode(CRequestContext::kModeData);  // the client pulls each piece
  else
    m_pTransferPulse = new CPulse(&CServiceBase::TransferPulseStep, this);
  m_bDeleteAfter = deleteAfter;
  return true;
}

void CServiceBase::SendRowOfBytes(const uint8_t* data, size_t length) {
  CResultRow row(*m_pFileSchema);
  const CByteBlock value(data, static_cast<int32_t>(length));
  row.AddValue(&value);
  m_pRequest->SendMoreData(row.BuildPacket());
}

void CServiceBase::TransferPulseStep(void* service) {
  auto* self = static_cast<CServiceBase*>(service);
  CTransportBase* connection = self->m_pRequest->GetConnection();
  if (connection->IsOutputBacklogged()) {
    // Rest until the client has read what is queued.
    self->EndTransferPulse();
    self->m_bWaitingForDrain = true;
    connection->WantDrainNotice();
    return;
  }
  self->SendFileStep();
}

void CServiceBase::OnOutputDrained() {
  if (m_ppRestingPulse != nullptr) {
    CPulse** resting = m_ppRestingPulse;
    m_ppRestingPulse = nullptr;
    if (*resting == nullptr) *resting = new CPulse(&CServiceBase::PulseCallback, this);
  }
  if (!m_bWaitingForDrain) return;
  m_bWaitingForDrain = false;
  if (m_bSending && m_pTransferPulse == nullptr)
    m_pTransferPulse = new CPulse(&CServiceBase::TransferPulseStep, this);
}

bool CServiceBase::RestWhileBacklogged(CPulse*& pulse) {
  CTransportBase* connection = m_pRequest->GetConnection();
  if (!connection->IsOutputBacklogged()) return false;
  CPulse::Stop(pulse);
  pulse = nullptr;
  m_ppRestingPulse = &pulse;
  connection->WantDrainNotice();
  return true;
}

void CServiceBase::EndTransferPulse() {
  CPulse::Stop(m_pTransferPulse);
  m_pTransferPulse = nullptr;
}

void CServiceBase::SendFileStep() {
  if (!m_bSending || m_pTransferFile == nullptr) return;
  uint8_t piece[kFilePiece];
  const size_t n = std::fread(piece, 1, sizeof piece, m_pTransferFile);
  if (n > 0) {
    SendRowOfBytes(piece, n);
    return;
  }
  m_bSending = false;
  std::fclose(m_pTransferFile);
  m_pTransferFile = nullptr;
  if (m_bDeleteAfter) ::unlink(m_strTransferPath.c_str());
  EndTransferPulse();
  OnSendFileDone();  // may end the request, and this service with it
}

bool CServiceBase::ReceiveFile(const std::string& path) {
  const std::string native = ToNativePath(path);
  if (native.empty()) return false;
  std::FILE* file = std::fopen(native.c_str(), "wb");
  if (file == nullptr) return false;
  m_pTransferFile = file;
  m_strTransferPath = native;
  m_bReceiving = true;
  m_bHaveFileTime = false;
  m_nFileTime = 0;
  m_pRequest->SetMode(CRequestContext::kModeData);
  m_pFileSchema = std::make_unique<CColumnTypes>(1, -1);
  m_pFileSchema->AddColumn(kColumnByte, "Status");
  m_pRequest->SendData(m_pFileSchema->BuildPacket());
  return true;
}

int CServiceBase::ReceiveStep() {
  CByteBlock empty;
  const CByteBlock& block = m_pReceivedBlock != nullptr ? *m_pReceivedBlock : empty;
  const bool acknowledges =
      (m_pRequest->GetConnection()->GetClientFlags() & qn::kHelloFlagAckBlocks) != 0;
  if (!m_bReceiving) {
    if (m_bSending) {
      if (acknowledges) SendFileStep();
      return 0;
    }
    return OnDataBlock();
  }
  if (!m_bHaveFileTime) {
    if (block.length == 4) {
      m_nFileTime = static_cast<int64_t>(qn::GetU32(block.data));
      m_bHaveFileTime = true;
    }
  } else if (block.length > 0) {
    std::fwrite(block.data, 1, static_cast<size_t>(block.length), m_pTransferFile);
  } else {
    std::fclose(m_pTransferFile);
    m_pTransferFile = nullptr;
    if (m_nFileTime != 0 && m_nFileTime != 0xFFFFFFFFll) {
      struct timeval times[2];
      times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(m_nFileTime);
      times[0].tv_usec = times[1].tv_usec = 0;
      ::utimes(m_strTransferPath.c_str(), times);
    }
    m_bReceiving = false;
    OnReceiveFileDone();  // may end the request, and this service with it
    return 0;
  }
  if (acknowledges) {
    CResultRow row(*m_pFileSchema);
    const uint8_t status = 1;
    row.AddValue(&status);
    m_pRequest->SendMoreData(row.BuildPacket());
  }
  return 0;
}

std::string CServiceBase::ClassNameAfterPrefix() const {
  return m_strClassName.size() > 8 ? m_strClassName.substr(8) : m_strClassName;
}

void CServiceBase::PostAudit(const std::string& keyword, const std::string& description) {
  if (m_pUser != nullptr)
    WriteUserAuditTrail(m_pUser, ClassNameAfterPrefix(), keyword, description);
  else
    AppendAnonymousAuditTrail(ClassNameAfterPrefix(), keyword, description);
}

void CServiceBase::PulseCallback(void* argument) {
  auto* service = static_cast<CServiceBase*>(argument);
  try {
    service->ContinueRequest();
  } catch (const std::exception& e) {
    WriteApiLog(std::string("# Exception in service ") + service->GetServiceName() + ": " + e.what() + "\r\n");
    // The client would otherwise wait for an end that never comes.
    service->GetRequest()->FailRequest(qn::kResultServiceException);
  } catch (...) {
    WriteApiLog("# Exception in service " + service->GetServiceName() + "\r\n");
    service->GetRequest()->FailRequest(qn::kResultServiceException);
  }
}
