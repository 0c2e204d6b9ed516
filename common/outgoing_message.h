// One reply on its way from a request to a connection. The record does not
// own its payload: whoever takes the payload out deletes it.
#pragma once
#include <cstdint>

class CByteBlock;
class CTransportBase;

class COutgoingMessage {
 public:
  COutgoingMessage(CTransportBase* target, int32_t flag, CByteBlock* payload)
      : m_pTarget(target), m_nFlag(flag), m_pPayload(payload) {}
  CByteBlock* GetPayload() const { return m_pPayload; }
  CTransportBase* GetTarget() const { return m_pTarget; }
  int32_t GetFlag() const { return m_nFlag; }

 private:
  CTransportBase* m_pTarget;
  int32_t m_nFlag;
  CByteBlock* m_pPayload;
};
