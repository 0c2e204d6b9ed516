// The "Utility" service: the global-message listener a member's client keeps
// open, the server's time, and global messages to one member or to all. The
// two senders below are also how the rest of the server reaches members.
#pragma once
#include <cstdint>
#include <list>
#include <string>

#include "server/core/service_base.h"

class CByteBlock;

class CServiceUtility : public CServiceBase {
 public:
  CServiceUtility() = default;
  // Leaves the listener list.
  ~CServiceUtility() override;

  bool IsAvailable() override { return true; }
  int ProcessRequest() override;

  // One global-message row on this listener's request.
  void SendMessageRow(const std::string& text, uint8_t style);
  // A row already encoded (one broadcast encodes it once for all).
  void SendEncodedRow(const CByteBlock& row);

 private:
  int GetGlobalMessages();
  int GetSystemTime();
  int SendGlobalMsg();
  int SendGlobalMsgAll();

  // Its place in the listener list, so that leaving costs no search.
  std::list<CServiceUtility*>::iterator m_listenerPos;
  bool m_bListening = false;
};

// The row (style, text) to every open listener, in the order they started.
void PostGlobalMsgToAll(const std::string& text, uint8_t style);
// The row to every listener of the member with this user ID (compared
// without regard to case); true when at least one received it.
bool PostGlobalMsgToUserID(const std::string& userId, const std::string& text, uint8_t style);
// Open listeners, for tests and the monitor.
int GetGlobalListenerCount();
