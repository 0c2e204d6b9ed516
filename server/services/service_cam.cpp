#include "server/services/service_cam.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <vector>

#include "common/byte_block.h"
#include "common/crc32.h"
#include "common/drive_paths.h"
#include "common/helpers.h"
#include "common/message_box.h"
#include "common/module_registration.h"
#include "platform/process_start.h"
#include "server/core/api_log.h"
#include "server/core/cam_hook.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/service_factory.h"
#include "server/core/transport_base.h"
#include "server/core/user.h"
#include "server/services/cam_library.h"

QN_REGISTER_SERVICE(CServiceCAM);

namespace {

// What identifies the library file as loaded: a change of any of these
// makes the next request read it again.
struct FileIdentity {
  bool present = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec modified = {};

  static FileIdentity Of(const struct stat& st) {
    FileIdentity id;
    id.present = true;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.modified = st.st_mtim;
    return id;
  }
  bool operator==(const FileIdentity& o) const {
    if (present != o.present) return false;
    return !present || (device == o.device && inode == o.inode && size == o.size &&
                        modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec);
  }
};

struct CamModule {
  std::unique_ptr<CCAMLibrary> library;  // absent before start and after stop
  FileIdentity loaded;
  // The open "GetSCAMMessages" requests by their connection, whose member
  // at push time is the one they listen for.
  std::unordered_map<const CTransportBase*, std::vector<CServiceCAM*>> listeners;
  int listenerCount = 0;
};

CamModule g_cam;

const CModuleRegistration s_camModule(&CServiceCAM::InitModule, &CServiceCAM::TermModule);

CColumnTypes MessageSchema() {
  CColumnTypes schema(3, -1);
  schema.AddColumn(kColumnString, "App");
  schema.AddColumn(kColumnString, "Vendor");
  schema.AddColumn(kColumnByte, "Type");
  return schema;
}

// Reads the whole file behind `fd`; false on a read error.
bool ReadAll(int fd, std::vector<uint8_t>& bytes) {
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
}

void LoadLibrary() {
  g_cam.library = std::make_unique<CCAMLibrary>();
  g_cam.loaded = FileIdentity();
  const std::string native = ToNativePath(CamLibraryPath());
  const int fd = native.empty() ? -1 : ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;  // no library: every lookup fails
  struct stat st;
  std::vector<uint8_t> bytes;
  bool read = false;
  // What was read is remembered by the open file's identity, so a file
  // replaced while it is read shows as changed at the next request.
  if (::fstat(fd, &st) == 0) {
    g_cam.loaded = FileIdentity::Of(st);
    read = S_ISREG(st.st_mode) && ReadAll(fd, bytes);
  }
  ::close(fd);
  if (!read) return;
  std::string error;
  if (!g_cam.library->Load(bytes.data(), bytes.size(), &error))
    WriteApiLog("# CAM library damaged (" + error + "): " + std::to_string(g_cam.library->m_apps.size()) +
                " applications and " + std::to_string(g_cam.library->m_components.size()) +
                " components kept\r\n");
}

uint16_t ParamResult(int result) { return static_cast<uint16_t>(result); }

struct CamRequest {
  const char* item;
  int params;  // exactly this many, or -1 for any
  int (CServiceCAM::*handler)();
};

}  // namespace

std::string CamLibraryPath() { return GetProgramDirectory() + "QNCAMLIB\\QNCAMLIB.DAT"; }

std::string CamFileName(const std::string& keyText, const char* extension) {
  char name[32];
  std::snprintf(name, sizeof name, "%08X.%s", ComputeStringCrc32(keyText), extension);
  return name;
}

void RefreshCamLibrary() {
  if (!g_cam.library) return;
  const std::string native = ToNativePath(CamLibraryPath());
  struct stat st;
  const FileIdentity now =
      !native.empty() && ::stat(native.c_str(), &st) == 0 ? FileIdentity::Of(st) : FileIdentity();
  // A library that has gone empties the catalogue.
  if (!(now == g_cam.loaded)) LoadLibrary();
}

const CCAMLibrary* GetCamLibrary() { return g_cam.library.get(); }
int GetCamListenerCount() { return g_cam.listenerCount; }

void CServiceCAM::InitModule() {
  LoadLibrary();
  // The member automation's SendCAM pushes through this from now on.
  SetSendCAMMessageHook(&SendCAMMessage);
}

void CServiceCAM::TermModule() {
  SetSendCAMMessageHook(nullptr);
  g_cam.library.reset();
  g_cam.loaded = FileIdentity();
}

CServiceCAM::~CServiceCAM() {
  const CTransportBase* connection = GetRequest() != nullptr ? GetRequest()->GetConnection() : nullptr;
  const auto it = g_cam.listeners.find(connection);
  if (it == g_cam.listeners.end()) return;
  std::vector<CServiceCAM*>& list = it->second;
  const auto gone = std::remove(list.begin(), list.end(), this);
  g_cam.listenerCount -= static_cast<int>(list.end() - gone);
  list.erase(gone, list.end());
  if (list.empty()) g_cam.listeners.erase(it);
}

int CServiceCAM::ProcessRequest() {
  static const CamRequest kRequests[] = {
      {"GetAppRecord", 2, &CServiceCAM::GetAppRecord},
      {"GetComRecord", 1, &CServiceCAM::GetComRecord},
      {"GetAppFile", 3, &CServiceCAM::GetAppFile},
      {"GetAppFilePatch", 4, &CServiceCAM::GetAppFilePatch},
      {"GetComFile", 1, &CServiceCAM::GetComFile},
      {"GetComFilePatch", 2, &CServiceCAM::GetComFilePatch},
      {"GetSCAMMessages", -1, &CServiceCAM::GetSCAMMessages},
  };
  if (!g_cam.library) return qn::kResultMissing;
  RefreshCamLibrary();
  for (const CamRequest& request : kRequests) {
    if (strcasecmp(GetItem().c_str(), request.item) != 0) continue;
    if (request.params >= 0 && GetParamCount() != request.params) return qn::kResultBadParameters;
    return (this->*request.handler)();
  }
  return qn::kResultNoSuchRequest;
}

int CServiceCAM::SendRecord(const CArchiveObject& record) {
  std::vector<uint8_t> bytes;
  try {
    bytes = StoreRecord(record);
  } catch (const CArchiveException&) {
    return qn::kResultServiceException;
  }
  // Longer would not fit the frame: the client gets a code, not a cut row.
  if (bytes.size() > kMaxRecordBytes) return qn::kResultServiceException;
  CColumnTypes schema(1, 1);
  schema.AddColumn(kColumnBinary, "Rec");
  GetRequest()->SendData(schema.BuildPacket());
  CResultRow row(schema);
  const CByteBlock value(bytes.data(), static_cast<int32_t>(bytes.size()));
  row.AddValue(&value);
  GetRequest()->SendMoreData(row.BuildPacket());
  GetRequest()->EndRequest();
  return 0;
}

int CServiceCAM::SendLibraryFile(const std::string& keyText) {
  const std::string path = GetProgramDirectory() + "QNCAMLIB\\" + CamFileName(keyText, "UCV");
  return SendFile(path, false) ? 0 : qn::kResultBadParameters;
}

int CServiceCAM::GetAppRecord() {
  std::string app, vendor;
  if (const int r = GetParam(0, app)) return ParamResult(r);
  if (const int r = GetParam(1, vendor)) return ParamResult(r);
  const CCAMAppRecord* record = g_cam.library->FindApp(app, vendor);
  if (record == nullptr) return qn::kResultBadParameters;
  return SendRecord(*record);
}

int CServiceCAM::GetComRecord() {
  std::string file;
  if (const int r = GetParam(0, file)) return ParamResult(r);
  const CCAMComRecord* record = g_cam.library->FindComponent(file);
  if (record == nullptr) return qn::kResultBadParameters;
  return SendRecord(*record);
}

int CServiceCAM::GetAppFile() {
  std::string app, vendor, file;
  if (const int r = GetParam(0, app)) return ParamResult(r);
  if (const int r = GetParam(1, vendor)) return ParamResult(r);
  if (const int r = GetParam(2, file)) return ParamResult(r);
  const CCAMAppRecord* record = g_cam.library->FindApp(app, vendor);
  if (record == nullptr || record->FindFile(file) == nullptr) return qn::kResultBadParameters;
  return SendLibraryFile(app + vendor + file);
}

int CServiceCAM::GetAppFilePatch() {
  std::string app, vendor, file;
  int32_t version = 0;
  if (const int r = GetParam(0, app)) return ParamResult(r);
  if (const int r = GetParam(1, vendor)) return ParamResult(r);
  if (const int r = GetParam(2, file)) return ParamResult(r);
  if (const int r = GetNextParamLong(version)) return ParamResult(r);
  const CCAMAppRecord* record = g_cam.library->FindApp(app, vendor);
  if (record == nullptr || record->FindFile(file) == nullptr) return qn::kResultBadParameters;
  const std::string path = GetProgramDirectory() + "QNCAMLIB\\" +
                           CamFileName(app + vendor + file + std::to_string(version), "RTP");
  return SendFile(path, false) ? 0 : qn::kResultBadParameters;
}

int CServiceCAM::GetComFile() {
  std::string file;
  if (const int r = GetParam(0, file)) return ParamResult(r);
  const CCAMComRecord* record = g_cam.library->FindComponent(file);
  if (record == nullptr) return qn::kResultBadParameters;
  return SendLibraryFile("Component" + record->GetFileName());
}

int CServiceCAM::GetComFilePatch() {
  std::string file;
  int32_t version = 0;
  if (const int r = GetParam(0, file)) return ParamResult(r);
  if (const int r = GetNextParamLong(version)) return ParamResult(r);
  const CCAMComRecord* record = g_cam.library->FindComponent(file);
  if (record == nullptr) return qn::kResultBadParameters;
  const std::string path = GetProgramDirectory() + "QNCAMLIB\\" +
                           CamFileName("Component" + record->GetFileName() + std::to_string(version), "RTP");
  return SendFile(path, false) ? 0 : qn::kResultBadParameters;
}

int CServiceCAM::GetSCAMMessages() {
  std::vector<CServiceCAM*>& list = g_cam.listeners[GetRequest()->GetConnection()];
  if (std::find(list.begin(), list.end(), this) == list.end()) {
    list.push_back(this);
    ++g_cam.listenerCount;
  }
  GetRequest()->SendData(MessageSchema().BuildPacket());
  return 0;
}

void CServiceCAM::SendMessageRow(const std::string& app, const std::string& vendor, uint8_t type) {
  const CColumnTypes schema = MessageSchema();
  CResultRow row(schema);
  row.AddValue(&app);
  row.AddValue(&vendor);
  row.AddValue(&type);
  GetRequest()->SendMoreData(row.BuildPacket());
}

void CServiceCAM::RunClientApp() {
  if (!qn::StartProgramDetached("QNCAM.EXE"))
    ShowMessageLine("", "Unable to run Quillnet Client Application Manager (QNCAM.EXE)");
}

bool SendCAMMessageToUser(CUser* user, const std::string& appName, const std::string& vendor,
                          uint8_t type) {
  if (!g_cam.library || user == nullptr) return false;
  if (g_cam.library->FindApp(appName, vendor) == nullptr) return false;
  // The row must fit one frame with its request header.
  if (3 + appName.size() + 1 + vendor.size() + 1 + 1 > 32767) return false;
  // Only a key from here on: a send that closes the connection deletes it,
  // its member and its listeners.
  const CTransportBase* connection = user->GetConnection();
  const auto it = g_cam.listeners.find(connection);
  if (it == g_cam.listeners.end()) return false;
  const std::vector<CServiceCAM*> listeners = it->second;
  bool sent = false;
  for (CServiceCAM* listener : listeners) {
    const auto now = g_cam.listeners.find(connection);
    if (now == g_cam.listeners.end()) break;
    if (std::find(now->second.begin(), now->second.end(), listener) == now->second.end()) continue;
    listener->SendMessageRow(appName, vendor, type);
    sent = true;
  }
  return sent;
}

bool SendCAMMessage(const std::string& userId, const std::string& appName, const std::string& vendor,
                    uint8_t type) {
  // User IDs are unique among the logged-on members, so the listeners of
  // that ID are those on the one member's connection.
  return SendCAMMessageToUser(FindUserByID(userId), appName, vendor, type);
}
