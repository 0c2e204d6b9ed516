// Base of every named service: binds a service object to one request, hands
// out its parameters, carries files between client and server in 768-byte
// rows, resolves file paths through the drive connections and posts
// audit-trail entries.
#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <list>
#include <memory>
#include <string>

class CByteBlock;
class CColumnTypes;
class CPulse;
class CRequestContext;
class CRowStream;
class CUser;
struct CRowSource;

class CServiceBase {
 public:
  static constexpr size_t kFilePiece = 768;
  // File reads of downloads and writes of uploads go through buffers of
  // these sizes.
  static constexpr size_t kTransferBuffer = 64 * 1024;
  static constexpr size_t kReceiveBuffer = 8 * 1024;

  CServiceBase();
  virtual ~CServiceBase();
  CServiceBase(const CServiceBase&) = delete;
  CServiceBase& operator=(const CServiceBase&) = delete;

  virtual bool IsAvailable() = 0;
  // One step of work continued after ProcessRequest returned.
  virtual void ContinueRequest() {}
  // The dispatcher on the item name: 0 for success, else a result code.
  virtual int ProcessRequest() = 0;
  virtual void OnSendFileDone();
  // The last row of a file being sent is queued (for an empty file, the
  // time row, inside SendFile): what the sending costs is due now, even if
  // the client never pulls the end or cancels. Runs at most once.
  virtual void OnSendFileQueued() {}
  // The received file stands under its name.
  virtual void OnReceiveFileDone();
  // A block could not be written or the name was taken at the end; nothing
  // of the upload is left. The default fails the request with 0x1306.
  virtual void OnReceiveFileFailed();
  // A follow-up packet brought new parameters.
  virtual int OnMoreParams();
  // A follow-up data block outside a file transfer.
  virtual int OnDataBlock();
  virtual bool HasClientApp() { return false; }
  virtual void RunClientApp() {}
  // A parameter of the bound request that holds a secret (a password): the
  // API log writes "*****" in its place.
  virtual bool IsSecretParam(int /*index*/) const { return false; }

  void BindRequest(CRequestContext* request, const std::string& service, const std::string& item,
                   const std::string& params);
  // The class's registered name ("CServiceChat"), set by the factory.
  void SetClassName(const std::string& name) { m_strClassName = name; }
  const std::string& GetClassName() const { return m_strClassName; }

  int GetParamCount() const;
  // 0, or 0x9999 when the parameter is missing. Moves the index past it.
  int GetParam(int index, std::string& out);
  int GetNextParam(std::string& out);
  // The leading decimal digits as atol reads them; 0x9999 when missing.
  int GetNextParamLong(int32_t& out);
  void ResetParamIndex() { m_nParamIndex = 0; }
  const std::string& GetServiceName() const { return *m_pService; }
  const std::string& GetItem() const { return *m_pItem; }
  const std::string& GetParams() const { return *m_pParams; }
  CRequestContext* GetRequest() const { return m_pRequest; }
  CUser* GetUser() const { return m_pUser; }

  // Starts sending the file; false (and nothing sent) when it cannot be
  // opened. deleteAfter: delete the file once it is sent.
  bool SendFile(const std::string& path, bool deleteAfter);
  // Sends bytes made for this request (a member's copy of a page) as a file
  // last written at `modified`, exactly as SendFile sends one, without ever
  // writing them to disk.
  bool SendFileBytes(std::string bytes, uint32_t modified);
  // How a received file takes its name once complete.
  enum class ReceiveName {
    kReplace,       // replaces a file of that name
    kKeepExisting,  // only while no file of that name, in any case, exists
  };
  // Starts receiving for the file: the data goes to a temporary file in the
  // same directory, which takes the name only when the upload is complete.
  // A cancelled, cut off or failed upload leaves nothing. False (and nothing
  // sent) when the temporary file cannot be created.
  bool ReceiveFile(const std::string& path, ReceiveName naming = ReceiveName::kReplace);
  // After OnReceiveFileDone: the received file as it stands on this machine.
  const std::string& GetReceivedPath() const { return m_strTransferPath; }
  // Takes back a received file whose completion failed.
  void RemoveReceivedFile();
  // The follow-up block being handled (not owned).
  void SetReceivedBlock(CByteBlock* block) { m_pReceivedBlock = block; }
  // The block being handled (for OnDataBlock); null outside one.
  const CByteBlock* GetReceivedBlock() const { return m_pReceivedBlock; }
  // One follow-up block of a request in data mode: a piece of an upload, a
  // pull of a download, or data for OnDataBlock.
  virtual int ReceiveStep();
  // The drive-connection rewrite of a system path (see the source).
  std::string ResolvePath(const std::string& path);
  bool IsSending() const { return m_bSending; }
  bool IsReceiving() const { return m_bReceiving; }

  void PostAudit(const std::string& keyword, const std::string& description);

  // The callback of a CPulse made with the service as its argument: runs
  // ContinueRequest.
  static void PulseCallback(void* service);
  // The connection's queue has room again: a resting file push or list goes
  // on.
  void OnOutputDrained();

 protected:
  // Sends the schema, then the list's rows as a stream (CRowStream): the
  // first share now, the rest from a pulse; the request ends after the last
  // row. 0, or the code of a first share that failed, which the service
  // returns from ProcessRequest.
  int StreamRows(const CColumnTypes& schema, CRowSource source);

  // For a step of the service's own continuation pulse (made with
  // PulseCallback): while the client has not read what is queued, ends the
  // pulse and makes a new one once the queue has room. True when the step is
  // to do nothing now. Long results thus never pile up in memory.
  bool RestWhileBacklogged(CPulse*& pulse);

  // Sends the next piece, or ends the send. False when the send is over
  // (the service may be gone then).
  bool SendFileStep();
  void SendRowOfBytes(const uint8_t* data, size_t length);
  // Announces the file and starts sending it from `file` (taken).
  void StartSending(std::FILE* file, const std::string& native, int64_t size, uint32_t modified,
                    bool deleteAfter);
  void EndTransferPulse();
  // The end of an upload: the file closed, timed and named.
  void FinishReceiving();
  // Gives up an upload: the temporary file closed and removed.
  void AbandonReceiving();

  // "name" TAB "target" per entry, from the Drive Connections key as it
  // stood when the service was made.
  std::shared_ptr<const std::list<std::string>> m_pDriveConnections;

 private:
  static void TransferPulseStep(void* service);
  std::string ClassNameAfterPrefix() const;

  int m_nParamIndex = 0;
  CRequestContext* m_pRequest = nullptr;
  CUser* m_pUser = nullptr;
  const std::string* m_pService;
  const std::string* m_pItem;
  const std::string* m_pParams;
  std::string m_strClassName;
  CByteBlock* m_pReceivedBlock = nullptr;
  std::FILE* m_pTransferFile = nullptr;
  std::string m_strTransferPath;
  // Upload: where the data goes until it takes its name.
  std::string m_strTempPath;
  ReceiveName m_receiveName = ReceiveName::kReplace;
  // Download: bytes still to send of the size announced.
  int64_t m_nSendRemaining = 0;
  // What SendFileBytes sends; its FILE reads from here.
  std::string m_strSendBytes;
  bool m_bSendQueued = false;
  bool m_bReceiving = false;
  int64_t m_nFileTime = 0;
  bool m_bHaveFileTime = false;
  bool m_bSending = false;
  bool m_bDeleteAfter = false;
  bool m_bWaitingForDrain = false;
  CPulse** m_ppRestingPulse = nullptr;
  CPulse* m_pTransferPulse = nullptr;
  std::unique_ptr<CColumnTypes> m_pFileSchema;
  std::unique_ptr<CRowStream> m_pRowStream;
};
