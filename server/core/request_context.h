// One client request from its packet to its end: parses the packet, creates
// the service, logs the request, runs the service's dispatcher and carries
// its replies (3 schema or data, 4 more data, 5 end, 6 result code).
#pragma once
#include <cstdint>
#include <list>
#include <string>

class CByteBlock;
class CServer;
class CServiceBase;
class CTransportBase;

class CRequestContext {
 public:
  enum Mode { kModeData = 0, kModeParams = 1 };

  // Takes the packet. `ended` tells the server to delete the context at once
  // (true) or to list it as open (false).
  CRequestContext(CServer* server, CByteBlock* packet, CTransportBase* connection, bool& ended);
  ~CRequestContext();
  CRequestContext(const CRequestContext&) = delete;
  CRequestContext& operator=(const CRequestContext&) = delete;

  // Take the body block.
  void SendData(CByteBlock* body, int32_t flag = 0);
  void SendMoreData(CByteBlock* body, int32_t flag = 0);
  // The same from bytes the caller keeps (one row sent to many requests).
  void SendMoreData(const uint8_t* body, size_t length);
  // The same body for many requests (a broadcast): copied once, into the
  // packet.
  void SendMoreData(const CByteBlock& body, int32_t flag = 0);
  void SendResult(uint16_t code);
  // Sends the end and unlists the request, which deletes it (and the
  // service) when listed: the caller touches nothing of either afterwards.
  void EndRequest();
  // Ends the request with a result code instead of the end packet.
  void FailRequest(uint16_t code);
  // Takes the packet (type 4 for this request).
  void OnFollowUpPacket(CByteBlock* packet);

  // Deletes the context now, or when its running follow-up returns.
  void Release();

  uint16_t GetRequestId() const { return m_nRequestId; }
  CTransportBase* GetConnection() const { return m_pConnection; }
  CServiceBase* GetService() const { return m_pService; }
  CServer* GetServer() const { return m_pServer; }
  int GetMode() const { return m_nMode; }
  void SetMode(int mode) { m_nMode = mode; }
  bool IsFinished() const { return m_bFinished; }
  const std::string& GetServiceName() const { return m_strService; }
  const std::string& GetItem() const { return m_strItem; }
  const std::string& GetParams() const { return m_strParams; }
  std::string Dump() const;

 private:
  friend class CServer;

  void SendPacket(uint8_t type, CByteBlock* body, int32_t flag);
  void SendPacket(uint8_t type, const uint8_t* body, size_t length, int32_t flag);
  // Runs a call into the service; an escaping exception becomes 0x1306.
  template <class Call>
  int Guarded(Call call);

  std::string m_strService;
  std::string m_strItem;
  std::string m_strParams;
  uint16_t m_nRequestId = 0;
  CServer* m_pServer;
  CTransportBase* m_pConnection;
  CServiceBase* m_pService = nullptr;
  bool m_bFinished = false;
  int m_nMode = kModeParams;
  int m_nBusy = 0;
  bool m_bReleased = false;
  // The server's list entry while listed.
  bool m_bListed = false;
  std::list<CRequestContext*>::iterator m_listPos;
};
