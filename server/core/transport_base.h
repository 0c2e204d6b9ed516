// A client connection: its member, output queue, times, the hello handshake
// and the push of a newer client program. The TCP connection derives from it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <list>
#include <string>

class CByteBlock;
class CPulse;
class CServer;
class CUser;

class CTransportBase {
 public:
  enum HandshakeState { kNormal = 0, kHelloExpected = 1, kUpdateAnnounced = 2, kUpdateSending = 3 };

  CTransportBase();
  virtual ~CTransportBase();
  CTransportBase(const CTransportBase&) = delete;
  CTransportBase& operator=(const CTransportBase&) = delete;

  virtual bool IsAvailable() = 0;
  virtual std::string GetDescription() = 0;
  // Asks for the connection to go; the TCP connection goes later, on the loop.
  virtual void Disconnect();
  virtual int Startup() { return 0; }
  virtual void Shutdown() = 0;
  virtual bool ListedAsTransport() { return false; }
  virtual int GetQueuedCount() { return static_cast<int>(m_queue.size()); }
  // Takes the payload.
  virtual void Send(CByteBlock* payload, int32_t flag);
  // A payload in two parts, a packet's header and its body, which the caller
  // keeps: the TCP connection copies them straight into its output queue.
  virtual void SendParts(const uint8_t* head, size_t headLength, const uint8_t* body, size_t bodyLength);
  virtual void ClearOutput();
  // True while so much output waits that producers should pause.
  virtual bool IsOutputBacklogged() const { return false; }
  // Ends the connection without another word (bad hello): nothing more is
  // read from it; it is deleted on the loop.
  virtual void CloseAtOnce() { Disconnect(); }

  // A frame from the client. Sets `ended` when the connection is going and
  // the caller must not hand it further frames.
  void OnPacket(CByteBlock* block, bool& ended);
  // Every packet while the handshake state is not kNormal (the server routes
  // it here). Takes the packet.
  void OnHandshakePacket(CByteBlock* packet, bool& ended);
  // One step of the update push.
  void PumpUpdate();
  // A producer rests on a full queue and wants OnOutputDrained once the
  // queue has room again.
  void WantDrainNotice() { m_bDrainWanted = true; }
  void OnOutputDrained();
  // A consumer that cannot take more of the client's packets now holds the
  // input: no further frame is handled until every hold is let go.
  void HoldInput() { ++m_nInputHolds; }
  void ReleaseInput() {
    if (m_nInputHolds > 0 && --m_nInputHolds == 0) OnInputReleased();
  }
  bool IsInputHeld() const { return m_nInputHolds > 0; }

  CUser* GetUser() const { return m_pUser; }
  // The connection owns the member from here on.
  void SetUser(CUser* user) { m_pUser = user; }
  int GetConnectionNumber() const { return m_nConnection; }
  std::time_t GetCreationTime() const { return m_tCreated; }
  std::time_t GetLastPacketTime() const { return m_tLastPacket; }
  void SetLastPacketTime(std::time_t t) { m_tLastPacket = t; }
  uint8_t GetClientFlags() const { return m_nClientFlags; }
  float GetClientVersion() const { return m_fClientVersion; }
  int GetHandshakeState() const { return m_nHandshakeState; }
  void SetHandshakeState(int state) { m_nHandshakeState = state; }

  // Open requests of this connection (kept by the server, so that a gone
  // connection's requests are found without walking every request).
  int m_nOpenRequests = 0;
  // Set by the server when it lists the connection; a refused connection
  // never was listed.
  bool m_bListed = false;

  // The server that connections report to (set when the transports start).
  static void SetServer(CServer* server);
  static CServer* GetServer();

 protected:
  // The last hold went: reading may go on.
  virtual void OnInputReleased() {}
  // Producers that paused on a full queue want OnOutputDrained.
  bool m_bDrainWanted = false;
  std::list<CByteBlock*> m_queue;

 private:
  static void UpdatePulseStep(void* connection);
  void EndUpdate();

  CUser* m_pUser = nullptr;
  int m_nConnection;
  std::time_t m_tCreated;
  std::time_t m_tLastPacket;
  uint8_t m_nClientFlags = 0;
  float m_fClientVersion = 0.0f;
  int m_nHandshakeState = kNormal;
  std::FILE* m_pUpdateFile = nullptr;
  CPulse* m_pUpdatePulse = nullptr;
  bool m_bUpdateWaitsForDrain = false;
  int m_nInputHolds = 0;
};
