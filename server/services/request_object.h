// The request object an external service answers one client request
// through: it declares the columns of a table result, sends rows, writes the
// member's audit trail and starts file transfers. Only the server creates
// it; its reference count starts at 1, the server's own. Refused calls raise
// a dispatch exception and leave the request as it was.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/automation/dispatch.h"
#include "server/core/result_set.h"

class CByteBlock;

// What the request object reaches: the request's replies, its member's
// audit trail and the service's file transfers.
class CRequestHost {
 public:
  virtual ~CRequestHost() = default;
  virtual void SendSchemaReply(CByteBlock* body) = 0;
  virtual void SendRowReply(CByteBlock* body) = 0;
  virtual void PostRequestAudit(const std::string& keyword, const std::string& description) = 0;
  // False when the transfer did not start (one is under way, or the file
  // cannot be opened or made).
  virtual bool StartSendFile(const std::string& path) = 0;
  virtual bool StartReceiveFile(const std::string& path) = 0;
  // The object's last reference went.
  virtual void RequestObjectGone() = 0;
};

// Raised when a schema or a row does not fit one packet.
inline constexpr int32_t kTooLargeCode = 106;

class CRequest : public qn::automation::DispatchObject {
 public:
  // With the server's own reference.
  explicit CRequest(CRequestHost* host);

  // The request has gone: every later call answers 0x80010108, and the last
  // release tells nobody.
  void Unlink();
  const CColumnTypes* GetSchema() const { return m_pSchema.get(); }

 protected:
  void OnFinalRelease() override;

 private:
  friend struct CRequestMembers;
  CRequestHost* m_pHost;
  std::unique_ptr<CColumnTypes> m_pSchema;
};

// The column type of an element of the types array, by its automation type;
// 0 for a type no column has.
uint8_t ColumnTypeOfElement(uint16_t vt);
// An automation DATE as a row's DATE value: through the two-second DOS form
// (years 1980 to 2107) into local time, as seconds since 1970 UTC. False when
// it cannot be converted.
bool RowSecondsFromDate(double date, uint32_t* seconds);
