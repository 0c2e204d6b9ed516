// The server's creatable automation object "QuillnetServer.Monitor": what the
// guardian, the manager and other monitoring programs call (connections,
// members online, global messages, disconnecting a member, refusing new
// connections), and the sink a client may bind to hear the member count.
#pragma once
#include <ctime>
#include <list>

#include "platform/automation/dispatch.h"

inline constexpr const char* kMonitorProgId = "QuillnetServer.Monitor";
inline constexpr const char* kMonitorClsid = "{7DFB3D26-47E3-11CF-B5E0-00001D13DB37}";

class CMonitor : public qn::automation::DispatchObject {
 public:
  // Joins the monitor list.
  CMonitor();
  // Leaves the list, releases the sink and gives back the user-list locks
  // this object still holds.
  ~CMonitor() override;

  // The bound sink, or null.
  qn::automation::IDispatch* GetSink() const { return m_sink.get(); }
  int GetUserListLocks() const { return m_nUserListLocks; }

 private:
  friend struct CMonitorMembers;
  qn::automation::Ref<qn::automation::IDispatch> m_sink;
  int m_nUserListLocks = 0;
};

// Every live monitor, in order of creation.
const std::list<CMonitor*>& GetMonitorList();

// The start of this run, as GetTimeUp and GetServerStartTime count it.
void SetServerStartTime(std::time_t t);
std::time_t GetServerStartTime();

// Registers the class object on the runtime (which must already run on the
// main loop) before the listener opens; a failure is reported on standard
// error and the server goes on without it.
void StartMonitorAutomation();
// Revokes it and ends every automation connection: clients see the server
// gone, what they held is released.
void StopMonitorAutomation();
