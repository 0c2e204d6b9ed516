// The single server object: the lists of connections and open requests under
// one lock, the order of start and stop, and the routing of every packet a
// connection receives after its hello.
#pragma once
#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class CByteBlock;
class CCounterBlock;
class COutgoingMessage;
class CRequestContext;
class CTransportBase;

class CServer {
 public:
  static constexpr int kSilenceSeconds = 90;
  static constexpr int kTimerSeconds = 15;
  // Open requests one connection may hold; a client asking for more is
  // closed (members' clients hold a handful: listeners, rooms, transfers).
  static constexpr int kMaxOpenRequests = 512;

  CServer();
  virtual ~CServer();
  CServer(const CServer&) = delete;
  CServer& operator=(const CServer&) = delete;

  void Lock() { m_lock.lock(); }
  void Unlock() { m_lock.unlock(); }

  // False when the status block cannot be had (another server of this
  // installation runs, or the block is another account's) or the client
  // listener cannot open: nothing of this server may be used. The message
  // is on standard error, GetStartError gives the error number.
  bool Start();
  uint32_t GetStartError() const { return m_nStartError; }
  void Stop();

  // Lists the connection and expects its hello; deletes it while new
  // connections are refused. True when listed.
  bool AddConnection(CTransportBase* connection);
  // Unlists the connection and ends its open requests.
  void RemoveConnection(CTransportBase* connection);
  // Deletes a listed request; one that is not listed is left alone.
  void RemoveContext(CRequestContext* request);
  // Takes the packet.
  virtual void RoutePacket(CTransportBase* connection, CByteBlock* packet, bool& ended);
  // Takes the message and its payload.
  void SendToConnection(COutgoingMessage* message);

  bool HasConnection(const CTransportBase* connection) const;
  CTransportBase* FindConnectionByNumber(int number) const;
  const std::list<CTransportBase*>& GetConnections() const { return m_connections; }
  const std::list<CRequestContext*>& GetRequests() const { return m_requests; }
  CCounterBlock* GetStatusBlock() const { return m_pStatusBlock.get(); }

  // Deletes every connection silent for kSilenceSeconds or more at `now`.
  void DropSilentConnections(std::time_t now);
  // A connection's queue has room again: its services' pushes go on.
  void OnOutputDrained(CTransportBase* connection);

 private:
  void UpdateOpenRequests();
  // The listed requests of one connection, in the order they were opened.
  std::vector<CRequestContext*>* RequestsOf(const CTransportBase* connection);

  std::list<CTransportBase*> m_connections;
  std::unordered_map<const CTransportBase*, std::list<CTransportBase*>::iterator> m_index;
  std::unordered_map<int, CTransportBase*> m_byNumber;
  std::list<CRequestContext*> m_requests;
  // Per connection, so that finding a request costs the same however many
  // other connections hold requests open.
  std::unordered_map<const CTransportBase*, std::vector<CRequestContext*>> m_byConnection;
  std::recursive_mutex m_lock;
  std::unique_ptr<CCounterBlock> m_pStatusBlock;
  uint32_t m_nStartError = 0;
};
