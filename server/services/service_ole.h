// The service of every name no built-in service bears: the request goes to
// the external service server listed under that name. A new service object
// from its "CreateService" gets the member ("User") and a request object
// ("Request"), then the method named by the item is called with the
// parameters as strings; its short is the request's result. Follow-up data
// goes to item + "_RecvDataAsString" (or "_RecvDataAsBinary"), the ends of
// file transfers to item + "_DoneRecvFile" and "_DoneSendFile".
//
// Calls to another process never block the main loop: ProcessRequest returns
// while the first call is out, and the outcome ends or fails the request
// later. The calls of one request go one at a time, in order; follow-ups and
// file ends arriving meanwhile wait (past a bound, the connection is not read
// until they have gone). A request deleted meanwhile (cancel, connection
// gone) drops the late answers.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "common/byte_block.h"
#include "platform/automation/dispatch.h"
#include "server/core/service_base.h"
#include "server/services/request_object.h"

struct CServiceEntry;

class CServiceOLE : public CServiceBase, private CRequestHost {
 public:
  // Follow-ups held while a call is out, past which the connection's input
  // is held too.
  static constexpr size_t kMaxWaitingBlocks = 16;
  static constexpr size_t kMaxWaitingBytes = 256 * 1024;
  static constexpr int kMaxParams = 10;

  CServiceOLE();
  ~CServiceOLE() override;

  bool IsAvailable() override { return true; }
  int ProcessRequest() override;
  int ReceiveStep() override;
  int OnDataBlock() override;
  void OnSendFileDone() override;
  void OnReceiveFileDone() override;
  // The request object's last reference went.
  void CompleteRequest();

  static void InitModule();
  static void TermModule();

 private:
  struct Waiting {
    enum Kind { kBlock, kSendDone } kind = kBlock;
    CByteBlock block;
  };
  using Token = std::shared_ptr<CServiceOLE*>;

  // CRequestHost
  void SendSchemaReply(CByteBlock* body) override;
  void SendRowReply(CByteBlock* body) override;
  void PostRequestAudit(const std::string& keyword, const std::string& description) override;
  bool StartSendFile(const std::string& path) override;
  bool StartReceiveFile(const std::string& path) override;
  void RequestObjectGone() override { CompleteRequest(); }

  // The steps of the request, each started by the answer to the last.
  void CreateServiceObject();
  void LookUpItem();
  // "User" (user true) or "Request", when the object has it; then the next
  // step.
  void SetProperty(bool user, qn::automation::DispId itemId);
  void CallItem(qn::automation::DispId itemId);
  // The item call's outcome: the request's result code.
  void Finish(int code);
  void ReleaseOwnReference();
  // Ends the request (code 0) or fails it; this service is gone afterwards
  // when the request was listed.
  void EndWith(int code, bool logFailure);

  void Hold(Waiting waiting);
  // The connection's input is held while too much waits.
  void UpdateInputHold();
  // Runs what waited, in order, until a call is out again.
  void Drain();
  void CallDataMethod();
  void CallDoneMethod(const char* suffix);
  // A data or file-end call has ended; `answer`: a non-zero code is the
  // follow-up's reply.
  void FollowUpDone(int code, bool answer);

  Token m_token;
  CServiceEntry* m_pEntry = nullptr;
  qn::automation::Ref<qn::automation::IDispatch> m_object;
  CRequest* m_pRequestObject = nullptr;
  bool m_bOwnReference = false;
  bool m_bCallOut = false;
  bool m_bReturned = false;
  int m_nResult = 0;
  bool m_bInsideProcess = false;
  int m_nProcessResult = -1;
  enum class DataMethod { kNotLookedUp, kString, kBinary, kNone } m_dataMethod = DataMethod::kNotLookedUp;
  qn::automation::DispId m_dataId = 0;
  // The data packet whose call is under way.
  CByteBlock m_data;
  std::deque<Waiting> m_waiting;
  size_t m_nWaitingBytes = 0;
  bool m_bHoldingInput = false;
};
