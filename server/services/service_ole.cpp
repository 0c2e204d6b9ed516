#include "server/services/service_ole.h"

#include "common/module_registration.h"
#include "platform/automation/runtime.h"
#include "server/core/api_log.h"
#include "server/core/member_link.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/service_factory.h"
#include "server/core/transport_tcp.h"
#include "server/core/user_dispatch.h"
#include "server/services/external_services.h"

using namespace qn::automation;

QN_REGISTER_SERVICE(CServiceOLE);

namespace {

const CModuleRegistration s_oleModule(&CServiceOLE::InitModule, &CServiceOLE::TermModule);

// The item call's outcome as the request's result code.
int ItemResult(const Outcome& o) {
  if (o.status == kOk) {
    Variant code;
    if (ChangeType(o.result, VT_I2, &code) != kOk) return qn::kResultServiceException;
    return static_cast<uint16_t>(code.Integer());
  }
  if (o.status == kBadParamCount ||
      (o.status == kException && static_cast<Status>(o.exception.code) == kBadParamCount))
    return qn::kResultBadParameters;
  return qn::kResultServiceException;
}

}  // namespace

void CServiceOLE::InitModule() { StartExternalServices(); }
void CServiceOLE::TermModule() { StopExternalServices(); }

CServiceOLE::CServiceOLE() : m_token(std::make_shared<CServiceOLE*>(this)) {}

CServiceOLE::~CServiceOLE() {
  *m_token = nullptr;
  if (m_bHoldingInput) GetRequest()->GetConnection()->ReleaseInput();
  if (CRequest* request = m_pRequestObject) {
    m_pRequestObject = nullptr;
    // Whoever still holds it finds it disconnected; it goes with its last
    // reference.
    request->Unlink();
    if (m_bOwnReference) request->Release();
  }
}

// ---- The item call ------------------------------------------------------------

int CServiceOLE::ProcessRequest() {
  m_pEntry = FindExternalService(GetServiceName());
  if (m_pEntry == nullptr) return qn::kResultNoService;
  // Packets after the request are data for this service; those that come
  // while a call is out wait for it.
  GetRequest()->SetMode(CRequestContext::kModeData);
  m_bCallOut = true;
  m_bInsideProcess = true;
  CreateServiceObject();
  m_bInsideProcess = false;
  // An object of this process has answered already; one of another process
  // answers later.
  return m_nProcessResult >= 0 ? m_nProcessResult : 0;
}

void CServiceOLE::CreateServiceObject() {
  Token token = m_token;
  m_pEntry->driver.CreateService(m_pEntry->name, [token](Status s, Ref<IDispatch> object) {
    CServiceOLE* self = *token;
    if (self == nullptr) return;
    if (s != kOk || !object) {
      self->Finish(qn::kResultNoService);
      return;
    }
    SetCallTimeout(object.get(), ExternalCallTimeoutMs());
    self->m_object = std::move(object);
    self->LookUpItem();
  });
}

void CServiceOLE::LookUpItem() {
  if (const CNameLookup* known = m_pEntry->FindItem(GetItem())) {
    if (!known->id) {
      Finish(qn::kResultNoSuchRequest);
      return;
    }
    const DispId id = *known->id;
    m_pRequestObject = new CRequest(this);
    m_bOwnReference = true;
    SetProperty(true, id);
    return;
  }
  Token token = m_token;
  const std::string item = GetItem();
  m_object->GetIDOfNameAsync(item, [token, item](Status s, DispId id) {
    CServiceOLE* self = *token;
    if (self == nullptr) return;
    // Only the object's own "no such name" is remembered: a call that failed
    // says nothing about the name.
    if (s == kOk) self->m_pEntry->RememberItem(item, id);
    if (s == kUnknownName) self->m_pEntry->RememberItem(item, std::nullopt);
    if (s != kOk) {
      self->Finish(s == kUnknownName ? qn::kResultNoSuchRequest : qn::kResultServiceException);
      return;
    }
    self->m_pRequestObject = new CRequest(self);
    self->m_bOwnReference = true;
    self->SetProperty(true, id);
  });
}

// "User", then "Request", each when the object has it, then the item call.
void CServiceOLE::SetProperty(bool user, DispId itemId) {
  Token token = m_token;
  auto next = [token, user, itemId] {
    CServiceOLE* self = *token;
    if (self == nullptr) return;
    if (user)
      self->SetProperty(false, itemId);
    else
      self->CallItem(itemId);
  };
  Ref<IDispatch> value = user ? GetUserDispatch(GetUser()) : Ref<IDispatch>(m_pRequestObject);
  if (!value) {
    next();
    return;
  }
  auto put = [token, value, next](DispId id) {
    CServiceOLE* self = *token;
    if (self == nullptr) return;
    self->m_object->InvokeAsync(id, DISPATCH_PROPERTYPUTREF, {Variant::Dispatch(value)},
                                [next](Outcome&) { next(); });
  };
  CNameLookup& lookup = user ? m_pEntry->userProperty : m_pEntry->requestProperty;
  if (lookup.done) {
    if (lookup.id)
      put(*lookup.id);
    else
      next();
    return;
  }
  m_object->GetIDOfNameAsync(user ? "User" : "Request", [token, user, put, next](Status s, DispId id) {
    CServiceOLE* self = *token;
    if (self == nullptr) return;
    if (s == kOk || s == kUnknownName) {
      CNameLookup& found = user ? self->m_pEntry->userProperty : self->m_pEntry->requestProperty;
      found.done = true;
      found.id = s == kOk ? std::optional<DispId>(id) : std::nullopt;
    }
    if (s == kOk)
      put(id);
    else
      next();
  });
}

void CServiceOLE::CallItem(DispId itemId) {
  const int count = GetParamCount();
  if (count > kMaxParams) {
    Finish(qn::kResultBadParameters);
    return;
  }
  std::vector<Variant> args;
  for (int i = 0; i < count; ++i) {
    std::string text;
    GetParam(i, text);  // a missing last one is an empty text
    args.push_back(Variant::Bstr(std::move(text)));
  }
  Token token = m_token;
  m_object->InvokeAsync(itemId, DISPATCH_METHOD, std::move(args), [token](Outcome& o) {
    if (CServiceOLE* self = *token) self->Finish(ItemResult(o));
  });
}

void CServiceOLE::Finish(int code) {
  m_bCallOut = false;
  m_bReturned = true;
  m_nResult = code;
  Token token = m_token;
  // With the server's reference goes, for an object nobody kept, the request
  // object itself: a call that gave 0 then ends the request.
  ReleaseOwnReference();
  if (*token == nullptr) return;
  if (m_bInsideProcess) {
    m_nProcessResult = code;  // the router answers it
    return;
  }
  if (code != 0) {
    EndWith(code, true);
    return;
  }
  Drain();
}

void CServiceOLE::ReleaseOwnReference() {
  if (!m_bOwnReference || m_pRequestObject == nullptr) return;
  m_bOwnReference = false;
  m_pRequestObject->Release();
}

void CServiceOLE::CompleteRequest() {
  m_pRequestObject = nullptr;
  m_bOwnReference = false;
  // Let go during a call: that call's outcome ends the request, alone.
  if (m_bCallOut) return;
  if (m_bReturned && m_nResult == 0) EndWith(0, false);
}

void CServiceOLE::EndWith(int code, bool logFailure) {
  CRequestContext* request = GetRequest();
  if (request->IsFinished()) return;
  if (CRequest* object = m_pRequestObject) {
    // Nothing more reaches the client through it.
    m_pRequestObject = nullptr;
    object->Unlink();
    if (m_bOwnReference) {
      m_bOwnReference = false;
      object->Release();
    }
  }
  if (code == 0) {
    request->EndRequest();
    return;
  }
  if (logFailure && IsApiLogOn() && dynamic_cast<CTransportTCP*>(request->GetConnection()) != nullptr)
    WriteApiLog("# failed\r\n");
  request->FailRequest(static_cast<uint16_t>(code));
}

// ---- Follow-ups -----------------------------------------------------------------

int CServiceOLE::ReceiveStep() {
  if (!m_bCallOut) return CServiceBase::ReceiveStep();
  Waiting waiting;
  if (const CByteBlock* block = GetReceivedBlock()) waiting.block = *block;
  Hold(std::move(waiting));
  return 0;
}

void CServiceOLE::Hold(Waiting waiting) {
  m_nWaitingBytes += static_cast<size_t>(waiting.block.length);
  m_waiting.push_back(std::move(waiting));
  UpdateInputHold();
}

void CServiceOLE::UpdateInputHold() {
  CTransportBase* connection = GetRequest()->GetConnection();
  if (!m_bHoldingInput &&
      (m_waiting.size() >= kMaxWaitingBlocks || m_nWaitingBytes >= kMaxWaitingBytes)) {
    m_bHoldingInput = true;
    connection->HoldInput();
  } else if (m_bHoldingInput && m_waiting.empty()) {
    m_bHoldingInput = false;
    connection->ReleaseInput();
  }
}

void CServiceOLE::Drain() {
  Token token = m_token;
  while (!m_bCallOut && !m_waiting.empty()) {
    Waiting waiting = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_nWaitingBytes -= static_cast<size_t>(waiting.block.length);
    UpdateInputHold();
    if (waiting.kind == Waiting::kSendDone) {
      CallDoneMethod("_DoneSendFile");
    } else {
      SetReceivedBlock(&waiting.block);
      const int result = CServiceBase::ReceiveStep();
      if (*token == nullptr) return;
      SetReceivedBlock(nullptr);
      if (result != 0 && !GetRequest()->IsFinished()) GetRequest()->SendResult(static_cast<uint16_t>(result));
    }
    if (*token == nullptr) return;
  }
}

int CServiceOLE::OnDataBlock() {
  const CByteBlock* block = GetReceivedBlock();
  m_data = block != nullptr ? *block : CByteBlock();
  m_bCallOut = true;
  CallDataMethod();
  return 0;  // the call's end answers a failure
}

void CServiceOLE::CallDataMethod() {
  Token token = m_token;
  const std::string& item = GetItem();
  switch (m_dataMethod) {
    case DataMethod::kNotLookedUp:
      m_object->GetIDOfNameAsync(item + "_RecvDataAsString", [token, item](Status s, DispId id) {
        CServiceOLE* self = *token;
        if (self == nullptr) return;
        if (s == kOk) {
          self->m_dataMethod = DataMethod::kString;
          self->m_dataId = id;
          self->CallDataMethod();
          return;
        }
        self->m_object->GetIDOfNameAsync(item + "_RecvDataAsBinary", [token](Status s2, DispId id2) {
          CServiceOLE* self2 = *token;
          if (self2 == nullptr) return;
          self2->m_dataMethod = s2 == kOk ? DataMethod::kBinary : DataMethod::kNone;
          self2->m_dataId = id2;
          self2->CallDataMethod();
        });
      });
      return;
    case DataMethod::kNone:
      FollowUpDone(qn::kResultServiceException, true);
      return;
    case DataMethod::kString:
    case DataMethod::kBinary:
      break;
  }
  Variant argument;
  const size_t length = static_cast<size_t>(m_data.length);
  if (m_dataMethod == DataMethod::kString) {
    argument = Variant::Bstr(std::string(reinterpret_cast<const char*>(m_data.data), length));
  } else {
    SafeArray bytes;
    if (!SafeArray::Make(VT_UI1, {{static_cast<uint32_t>(length), 0}}, &bytes)) {
      m_dataMethod = DataMethod::kNone;
      FollowUpDone(qn::kResultServiceException, true);
      return;
    }
    if (length > 0) bytes.Bytes().assign(m_data.data, m_data.data + length);
    argument = Variant::Array(std::move(bytes));
  }
  m_data = CByteBlock();
  m_object->InvokeAsync(m_dataId, DISPATCH_METHOD, {std::move(argument)}, [token](Outcome& o) {
    CServiceOLE* self = *token;
    if (self == nullptr) return;
    if (o.status != kOk) {
      // A data method that fails is not called again for this request.
      self->m_dataMethod = DataMethod::kNone;
      self->FollowUpDone(qn::kResultServiceException, true);
      return;
    }
    self->FollowUpDone(0, true);
  });
}

void CServiceOLE::OnSendFileDone() {
  if (m_bCallOut) {
    Waiting waiting;
    waiting.kind = Waiting::kSendDone;
    Hold(std::move(waiting));
    return;
  }
  CallDoneMethod("_DoneSendFile");
}

void CServiceOLE::OnReceiveFileDone() { CallDoneMethod("_DoneRecvFile"); }

void CServiceOLE::CallDoneMethod(const char* suffix) {
  m_bCallOut = true;
  Token token = m_token;
  // Looked up at every end: a missing method or a failure is no concern of
  // the client's.
  m_object->GetIDOfNameAsync(GetItem() + suffix, [token](Status s, DispId id) {
    CServiceOLE* self = *token;
    if (self == nullptr) return;
    if (s != kOk) {
      self->FollowUpDone(0, false);
      return;
    }
    self->m_object->InvokeAsync(id, DISPATCH_METHOD, {}, [token](Outcome&) {
      if (CServiceOLE* alive = *token) alive->FollowUpDone(0, false);
    });
  });
}

void CServiceOLE::FollowUpDone(int code, bool answer) {
  m_bCallOut = false;
  if (m_pRequestObject == nullptr) {
    // The request object went during the call: this outcome ends the request.
    EndWith(code, false);
    return;
  }
  if (answer && code != 0 && !GetRequest()->IsFinished())
    GetRequest()->SendResult(static_cast<uint16_t>(code));
  Drain();
}

// ---- What the request object reaches ------------------------------------------

void CServiceOLE::SendSchemaReply(CByteBlock* body) { GetRequest()->SendData(body); }

void CServiceOLE::SendRowReply(CByteBlock* body) { GetRequest()->SendMoreData(body); }

void CServiceOLE::PostRequestAudit(const std::string& keyword, const std::string& description) {
  if (GetUser() != nullptr)
    WriteUserAuditTrail(GetUser(), GetServiceName(), keyword, description);
  else
    AppendAnonymousAuditTrail(GetServiceName(), keyword, description);
}

bool CServiceOLE::StartSendFile(const std::string& path) {
  if (IsSending() || IsReceiving()) return false;
  return SendFile(path, false);
}

bool CServiceOLE::StartReceiveFile(const std::string& path) {
  if (IsSending() || IsReceiving()) return false;
  return ReceiveFile(path);
}
