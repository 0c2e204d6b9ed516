// The "CAM" service, the client application manager: hands members' clients
// the records of the CAM library, the application and component files
// (whole and patches) named by CRC-32 beside it, and pushes CAM messages to
// the clients that listen for them. Reachable before logon.
#pragma once
#include <cstdint>
#include <string>

#include "server/core/service_base.h"

class CCAMLibrary;

class CServiceCAM : public CServiceBase {
 public:
  // A CAM record travels as one binary value of one row of one frame.
  static constexpr size_t kMaxRecordBytes = 32767 - 3 - 2;

  CServiceCAM() = default;
  // Leaves the listener list.
  ~CServiceCAM() override;

  bool IsAvailable() override { return true; }
  int ProcessRequest() override;
  bool HasClientApp() override { return true; }
  // Starts "QNCAM.EXE" through PATH; a failure is reported as a line.
  void RunClientApp() override;

  // Module start: loads the library. Module stop: frees it.
  static void InitModule();
  static void TermModule();

  // The row (App, Vendor, Type) on this listener's request.
  void SendMessageRow(const std::string& app, const std::string& vendor, uint8_t type);

 private:
  int GetAppRecord();
  int GetComRecord();
  int GetAppFile();
  int GetAppFilePatch();
  int GetComFile();
  int GetComFilePatch();
  int GetSCAMMessages();

  int SendRecord(const class CArchiveObject& record);
  int SendLibraryFile(const std::string& keyText);
};

// Pushes a CAM message to every listener of the logged-on member with this
// user ID (compared without regard to case), when the library holds the
// application; true when at least one listener received it.
bool SendCAMMessage(const std::string& userId, const std::string& appName,
                    const std::string& vendor, uint8_t type);

// The same for a member at hand (the advertisement timer).
class CUser;
bool SendCAMMessageToUser(CUser* user, const std::string& appName, const std::string& vendor,
                          uint8_t type);

// The catalogue as loaded (tests); null before the module starts.
const CCAMLibrary* GetCamLibrary();
// The library file's path as the system names it.
std::string CamLibraryPath();
// Reloads when the file changed since the last load (as a request does).
void RefreshCamLibrary();
// Open "GetSCAMMessages" requests (tests).
int GetCamListenerCount();
// The name a key text gives a library file: eight hex digits, "UCV" or "RTP".
std::string CamFileName(const std::string& keyText, const char* extension);
