// The client side of the server's automation object "QuillnetServer.Monitor":
// one method per dispatch ID, as the manager and the guardian call them.
// Callers make a driver for each use, create the object, call one or two
// methods and let the driver go.
//
// A failed call throws: COleException with the runtime's status (the server
// gone during the call 0x800706BE, before it 0x800706BF, no answer within the
// time limit 0x8001011F), or COleDispatchException when the server raised an
// error of its own.
#pragma once
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/automation/object.h"
#include "platform/automation/variant.h"

// A call or creation that failed with an automation status.
class COleException : public std::runtime_error {
 public:
  explicit COleException(qn::automation::Status sc);
  qn::automation::Status m_sc;
};

// The object raised an error: its code, source and text.
class COleDispatchException : public std::runtime_error {
 public:
  COleDispatchException(int32_t code, std::string source, std::string description);
  int32_t m_wCode;
  std::string m_strSource;
  std::string m_strDescription;
};

class CMonitorDriver {
 public:
  static constexpr const char* kProgID = "QuillnetServer.Monitor";
  static constexpr std::chrono::milliseconds kDefaultTimeLimit{30000};

  CMonitorDriver() = default;
  ~CMonitorDriver() = default;
  CMonitorDriver(const CMonitorDriver&) = delete;
  CMonitorDriver& operator=(const CMonitorDriver&) = delete;

  // Creates the object: 0x80080005 when no server runs (the program the
  // class names ends at once when started for it) or none answers within
  // `limit`, 0x800706BE when the server went during the creation. `limit` holds for the creation and for every call made
  // through this driver afterwards. False with the status in `status`.
  bool CreateDispatch(std::chrono::milliseconds limit = kDefaultTimeLimit,
                      qn::automation::Status* status = nullptr);
  void ReleaseDispatch();
  qn::automation::IDispatch* GetDispatch() const { return m_lpDispatch.get(); }

  long Bind(qn::automation::IDispatch* sink);                                     // 1
  std::string GetTimeUp();                                                        // 2
  long GetNbrUsersOnline();                                                       // 3
  long SendGlobalMsgToAll(const std::string& text, short style);                  // 4
  long SendGlobalMsgToUserID(const std::string& userId, const std::string& text,  // 5
                             short style);
  long KillUser(const std::string& userId);                                       // 6
  void AllowNewConnections(bool allow);                                           // 7
  long GetNbrConnections();                                                       // 9
  // The out-parameters keep their values when the index is out of range.
  long GetUserProfile(short index, std::string& userId, std::string& lastName,  // 10
                      std::string& firstName, std::string& connection,
                      std::string& timeOnline, long& credits);
  double GetServerStartTime();                                                    // 11, a DATE
  long GetNbrUsersOnlineNoSynch();                                                // 12
  void LockUserList();                                                            // 13
  void UnlockUserList();                                                          // 14

 private:
  // Invokes `id` as a method and converts its result to `resultType`
  // (VT_EMPTY: no result); throws on failure.
  qn::automation::Variant InvokeHelper(qn::automation::DispId id, uint16_t resultType,
                                       std::vector<qn::automation::Variant>& args);
  long InvokeLong(qn::automation::DispId id, std::vector<qn::automation::Variant> args);

  qn::automation::Ref<qn::automation::IDispatch> m_lpDispatch;
};
