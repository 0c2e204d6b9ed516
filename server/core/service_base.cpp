#include "server/core/service_base.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
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
#include "server/core/row_stream.h"
#include "server/core/transport_base.h"
#include "server/core/upload_journal.h"

namespace {
const std::string kEmpty;

std::list<std::string> ReadDriveConnections() {
  std::list<std::string> list;
  CDriveConnectionsMultiReg().ReadList(list);
  return list;
}

// Every request makes a service: the list is kept rather than read each time.
CKeptSetting<std::list<std::string>> g_driveConnections(&ReadDriveConnections);
}  // namespace

CServiceBase::CServiceBase()
    : m_pDriveConnections(g_driveConnections.Get()), m_pService(&kEmpty), m_pItem(&kEmpty), m_pParams(&kEmpty) {}

CServiceBase::~CServiceBase() {
  // A running step of the pulse finishes first; none follows.
  CPulse::Stop(m_pTransferPulse);
  m_pTransferPulse = nullptr;
  if (m_bReceiving) {
    AbandonReceiving();
  } else if (m_pTransferFile != nullptr) {
    std::fclose(m_pTransferFile);
    m_pTransferFile = nullptr;
    if (m_bSending && m_bDeleteAfter) ::unlink(m_strTransferPath.c_str());
  }
}

void CServiceBase::OnSendFileDone() { m_pRequest->EndRequest(); }
void CServiceBase::OnReceiveFileDone() { m_pRequest->EndRequest(); }
void CServiceBase::OnReceiveFileFailed() { m_pRequest->FailRequest(qn::kResultServiceException); }
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
  for (const std::string& connection : *m_pDriveConnections) {
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
  std::FILE* file = std::fopen(native.c_str(), "rb");
  if (file == nullptr) return false;
  struct stat st;
  if (::fstat(::fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(file);
    return false;
  }
  std::setvbuf(file, nullptr, _IOFBF, kTransferBuffer);
  StartSending(file, native, st.st_size, static_cast<uint32_t>(st.st_mtime), deleteAfter);
  return true;
}

bool CServiceBase::SendFileBytes(std::string bytes, uint32_t modified) {
  const int64_t size = static_cast<int64_t>(bytes.size());
  m_strSendBytes = std::move(bytes);
  // A memory stream needs a buffer of at least one byte; only `size` go out.
  if (m_strSendBytes.empty()) m_strSendBytes.push_back('\0');
  std::FILE* file = ::fmemopen(m_strSendBytes.data(), m_strSendBytes.size(), "r");
  if (file == nullptr) return false;
  StartSending(file, std::string(), size, modified, false);
  return true;
}

void CServiceBase::StartSending(std::FILE* file, const std::string& native, int64_t size, uint32_t modified,
                                bool deleteAfter) {
  m_pTransferFile = file;
  m_strTransferPath = native;

  // Exactly the size announced goes out, even if the file grows meanwhile.
  m_nSendRemaining = size;
  m_bSendQueued = false;
  const int32_t pieces = static_cast<int32_t>((size + kFilePiece - 1) / kFilePiece);
  m_pFileSchema = std::make_unique<CColumnTypes>(1, 1 + pieces);
  m_pFileSchema->AddColumn(kColumnBinary, "Block");
  m_pRequest->SendData(m_pFileSchema->BuildPacket());
  uint8_t stamp[4];
  for (int i = 0; i < 4; ++i) stamp[i] = static_cast<uint8_t>(modified >> (8 * i));
  SendRowOfBytes(stamp, sizeof stamp);

  m_bSending = true;
  m_bDeleteAfter = deleteAfter;
  if (m_pRequest->GetConnection()->GetClientFlags() & qn::kHelloFlagAckBlocks)
    m_pRequest->SetMode(CRequestContext::kModeData);  // the client pulls each piece
  else
    m_pTransferPulse = new CPulse(&CServiceBase::TransferPulseStep, this);
  if (m_nSendRemaining == 0) {
    m_bSendQueued = true;
    OnSendFileQueued();
  }
}

void CServiceBase::SendRowOfBytes(const uint8_t* data, size_t length) {
  // The row of one binary column: its 16-bit length, then the bytes.
  uint8_t row[2 + kFilePiece];
  row[0] = static_cast<uint8_t>(length);
  row[1] = static_cast<uint8_t>(length >> 8);
  std::memcpy(row + 2, data, length);
  m_pRequest->SendMoreData(row, 2 + length);
}

void CServiceBase::TransferPulseStep(void* service) {
  auto* self = static_cast<CServiceBase*>(service);
  CTransportBase* connection = self->m_pRequest->GetConnection();
  // A step queues up to a buffer's worth of rows, then lets the loop serve
  // others.
  for (size_t piece = 0; piece < kTransferBuffer / kFilePiece; ++piece) {
    if (connection->IsOutputBacklogged()) {
      // Rest until the client has read what is queued.
      self->EndTransferPulse();
      self->m_bWaitingForDrain = true;
      connection->WantDrainNotice();
      return;
    }
    if (!self->SendFileStep()) return;  // the service may be gone
  }
}

int CServiceBase::StreamRows(const CColumnTypes& schema, CRowSource source) {
  m_pRowStream = std::make_unique<CRowStream>(this, std::move(source));
  m_pRequest->SendData(schema.BuildPacket());
  return m_pRowStream->Start();
}

void CServiceBase::OnOutputDrained() {
  if (m_pRowStream) m_pRowStream->OnOutputDrained();
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

bool CServiceBase::SendFileStep() {
  if (!m_bSending || m_pTransferFile == nullptr) return false;
  uint8_t piece[kFilePiece];
  const size_t want = static_cast<size_t>(std::min<int64_t>(m_nSendRemaining, kFilePiece));
  const size_t n = want > 0 ? std::fread(piece, 1, want, m_pTransferFile) : 0;
  if (n > 0) {
    SendRowOfBytes(piece, n);
    m_nSendRemaining -= static_cast<int64_t>(n);
    if (m_nSendRemaining == 0 && !m_bSendQueued) {
      m_bSendQueued = true;
      OnSendFileQueued();
    }
    return true;
  }
  m_bSending = false;
  std::fclose(m_pTransferFile);
  m_pTransferFile = nullptr;
  if (m_bDeleteAfter) ::unlink(m_strTransferPath.c_str());
  EndTransferPulse();
  OnSendFileDone();  // may end the request, and this service with it
  return false;
}

namespace {

// A name for an upload's data beside its target, free when made: "QNS",
// six hex digits, ".TMP".
std::string TempNameBeside(const std::string& target, uint32_t salt) {
  const size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : target.substr(0, slash);
  char name[16];
  std::snprintf(name, sizeof name, "QNS%06X.TMP", salt & 0xFFFFFFu);
  return directory + "/" + name;
}

bool NameIsTaken(const std::string& native) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(qn::path::FindExistingNoCase(native), ec));
}

// Renames without replacing: false (errno EEXIST) when the target exists.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a hard link also refuses a taken name.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

}  // namespace

bool CServiceBase::ReceiveFile(const std::string& path, ReceiveName naming) {
  const std::string native = ToNativePath(path);
  if (native.empty() || native.back() == '/') return false;
  static std::mt19937 salts{std::random_device{}()};
  int fd = -1;
  std::string temp;
  for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
    temp = TempNameBeside(native, static_cast<uint32_t>(salts()));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }
  JournalUploadFile(temp);
  // Small blocks gather in the buffer; blocks of its size or more are
  // written as they come, without a copy.
  std::setvbuf(file, nullptr, _IOFBF, kReceiveBuffer);
  m_pTransferFile = file;
  m_strTransferPath = native;
  m_strTempPath = temp;
  m_receiveName = naming;
  m_bReceiving = true;
  m_bHaveFileTime = false;
  m_nFileTime = 0;
  m_pRequest->SetMode(CRequestContext::kModeData);
  m_pFileSchema = std::make_unique<CColumnTypes>(1, -1);
  m_pFileSchema->AddColumn(kColumnByte, "Status");
  m_pRequest->SendData(m_pFileSchema->BuildPacket());
  return true;
}

void CServiceBase::AbandonReceiving() {
  if (m_pTransferFile != nullptr) std::fclose(m_pTransferFile);
  m_pTransferFile = nullptr;
  if (!m_strTempPath.empty()) {
    ::unlink(m_strTempPath.c_str());
    ForgetUploadFile(m_strTempPath);
  }
  m_strTempPath.clear();
  m_bReceiving = false;
}

void CServiceBase::FinishReceiving() {
  bool written = std::fflush(m_pTransferFile) == 0 && !std::ferror(m_pTransferFile);
  if (written && m_nFileTime != 0 && m_nFileTime != 0xFFFFFFFFll) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(m_nFileTime);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ::futimens(::fileno(m_pTransferFile), times);
  }
  written = std::fclose(m_pTransferFile) == 0 && written;
  m_pTransferFile = nullptr;
  bool named = false;
  if (written) {
    if (m_receiveName == ReceiveName::kReplace)
      named = std::rename(m_strTempPath.c_str(), m_strTransferPath.c_str()) == 0;
    else
      named = !NameIsTaken(m_strTransferPath) && RenameNoReplace(m_strTempPath, m_strTransferPath);
  }
  if (!named) {
    AbandonReceiving();
    OnReceiveFileFailed();  // may end the request, and this service with it
    return;
  }
  ForgetUploadFile(m_strTempPath);
  m_strTempPath.clear();
  m_bReceiving = false;
  OnReceiveFileDone();  // may end the request, and this service with it
}

void CServiceBase::RemoveReceivedFile() {
  if (!m_strTransferPath.empty()) ::unlink(m_strTransferPath.c_str());
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
    const size_t length = static_cast<size_t>(block.length);
    if (std::fwrite(block.data, 1, length, m_pTransferFile) != length) {
      // A full disk or a size limit: the upload cannot be complete.
      AbandonReceiving();
      OnReceiveFileFailed();  // may end the request, and this service with it
      return 0;
    }
  } else {
    FinishReceiving();
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
