#include "server/services/service_utility.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <list>

#include "common/byte_block.h"
#include "server/core/clock.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/service_factory.h"
#include "server/core/user.h"

QN_REGISTER_SERVICE(CServiceUtility);

namespace {

std::list<CServiceUtility*> g_listeners;

// A row must fit one frame: the request header, the style byte and the
// text's zero byte leave this much for the text.
constexpr size_t kMaxMessageText = 32767 - 3 - 1 - 1;

CColumnTypes MessageSchema() {
  CColumnTypes schema(2, -1);
  schema.AddColumn(kColumnByte, "Style");
  schema.AddColumn(kColumnString, "Message");
  return schema;
}

uint8_t StyleFromText(const std::string& text) {
  return static_cast<uint8_t>(std::atol(text.c_str()));
}

struct UtilityRequest {
  const char* item;
  int (CServiceUtility::*handler)();
};

}  // namespace

CServiceUtility::~CServiceUtility() { g_listeners.remove(this); }

int CServiceUtility::ProcessRequest() {
  static const UtilityRequest kRequests[] = {
      {"GetGlobalMessages", &CServiceUtility::GetGlobalMessages},
      {"GetSystemTime", &CServiceUtility::GetSystemTime},
      {"SendGlobalMsg", &CServiceUtility::SendGlobalMsg},
      {"SendGlobalMsgAll", &CServiceUtility::SendGlobalMsgAll},
  };
  for (const UtilityRequest& request : kRequests)
    if (strcasecmp(GetItem().c_str(), request.item) == 0) return (this->*request.handler)();
  return qn::kResultNoSuchRequest;
}

int CServiceUtility::GetGlobalMessages() {
  if (std::find(g_listeners.begin(), g_listeners.end(), this) == g_listeners.end())
    g_listeners.push_back(this);
  GetRequest()->SendData(MessageSchema().BuildPacket());
  return 0;
}

int CServiceUtility::GetSystemTime() {
  CColumnTypes schema(1, 1);
  schema.AddColumn(kColumnDate, "SystemTime");
  GetRequest()->SendData(schema.BuildPacket());
  CResultRow row(schema);
  const int32_t now = static_cast<int32_t>(GetClock().Now());
  row.AddValue(&now);
  GetRequest()->SendMoreData(row.BuildPacket());
  GetRequest()->EndRequest();
  return 0;
}

int CServiceUtility::SendGlobalMsg() {
  if (GetParamCount() != 3) return qn::kResultBadParameters;
  std::string message, style, userId;
  GetParam(0, message);
  GetParam(1, style);
  GetParam(2, userId);
  const std::string sender = GetUser() != nullptr ? GetUser()->GetUserID() : std::string();
  if (!PostGlobalMsgToUserID(userId, "Global Message from " + sender + ": " + message,
                             StyleFromText(style)))
    return qn::kResultBadParameters;
  PostAudit("SendGlobalMsg",
            "Sent a Global Message to " + userId + " (\"" + message + "\")");
  GetRequest()->EndRequest();
  return 0;
}

int CServiceUtility::SendGlobalMsgAll() {
  if (GetParamCount() != 2) return qn::kResultBadParameters;
  std::string message, style;
  GetParam(0, message);
  GetParam(1, style);
  const std::string sender = GetUser() != nullptr ? GetUser()->GetUserID() : std::string();
  PostGlobalMsgToAll("Global Message Broadcast from " + sender + ": " + message,
                     StyleFromText(style));
  PostAudit("SendGlobalMsgAll", "Sent a Global Message Broadcast (\"" + message + "\")");
  GetRequest()->EndRequest();
  return 0;
}

void CServiceUtility::SendMessageRow(const std::string& text, uint8_t style) {
  const CColumnTypes schema = MessageSchema();
  CResultRow row(schema);
  const std::string fitted = text.size() > kMaxMessageText ? text.substr(0, kMaxMessageText) : text;
  row.AddValue(&style);
  row.AddValue(&fitted);
  GetRequest()->SendMoreData(row.BuildPacket());
}

void PostGlobalMsgToAll(const std::string& text, uint8_t style) {
  // A copy: a send that closes a connection ends its listener.
  const std::list<CServiceUtility*> listeners = g_listeners;
  for (CServiceUtility* listener : listeners)
    if (std::find(g_listeners.begin(), g_listeners.end(), listener) != g_listeners.end())
      listener->SendMessageRow(text, style);
}

bool PostGlobalMsgToUserID(const std::string& userId, const std::string& text, uint8_t style) {
  bool sent = false;
  const std::list<CServiceUtility*> listeners = g_listeners;
  for (CServiceUtility* listener : listeners) {
    if (std::find(g_listeners.begin(), g_listeners.end(), listener) == g_listeners.end()) continue;
    CUser* user = listener->GetUser();
    if (user == nullptr || strcasecmp(user->GetUserID().c_str(), userId.c_str()) != 0) continue;
    listener->SendMessageRow(text, style);
    sent = true;
  }
  return sent;
}

int GetGlobalListenerCount() { return static_cast<int>(g_listeners.size()); }
