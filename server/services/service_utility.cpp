#include "server/services/service_utility.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <list>
#include <memory>

#include "common/byte_block.h"
#include "server/core/clock.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/service_factory.h"
#include "server/core/user.h"

QN_REGISTER_SERVICE(CServiceUtility);

namespace {

// Open listeners in the order they started. A listener that goes while a send
// walks the list leaves a null in its place, swept when the walk ends, so
// every send is one pass however many listeners there are.
std::list<CServiceUtility*> g_listeners;
int g_listening = 0;
int g_walks = 0;
bool g_holes = false;

class ListenerWalk {
 public:
  ListenerWalk() { ++g_walks; }
  ~ListenerWalk() {
    if (--g_walks == 0 && g_holes) {
      g_listeners.remove(nullptr);
      g_holes = false;
    }
  }
  ListenerWalk(const ListenerWalk&) = delete;
  ListenerWalk& operator=(const ListenerWalk&) = delete;
};

// Calls `visit` for each listener listed when the walk began and still
// listening when its turn comes.
template <class Visit>
void ForEachListener(Visit&& visit) {
  if (g_listeners.empty()) return;
  ListenerWalk walk;
  // Listeners that start during the walk are not part of it.
  const auto last = std::prev(g_listeners.end());
  for (auto it = g_listeners.begin();; ++it) {
    if (*it != nullptr) visit(**it);
    if (it == last) break;
  }
}

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

CServiceUtility::~CServiceUtility() {
  if (!m_bListening) return;
  --g_listening;
  if (g_walks > 0) {
    *m_listenerPos = nullptr;
    g_holes = true;
  } else {
    g_listeners.erase(m_listenerPos);
  }
}

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
  if (!m_bListening) {
    m_listenerPos = g_listeners.insert(g_listeners.end(), this);
    m_bListening = true;
    ++g_listening;
  }
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

namespace {

CByteBlock* EncodeMessageRow(const std::string& text, uint8_t style) {
  const CColumnTypes schema = MessageSchema();
  CResultRow row(schema);
  const std::string fitted = text.size() > kMaxMessageText ? text.substr(0, kMaxMessageText) : text;
  row.AddValue(&style);
  row.AddValue(&fitted);
  return row.BuildPacket();
}

}  // namespace

void CServiceUtility::SendMessageRow(const std::string& text, uint8_t style) {
  GetRequest()->SendMoreData(EncodeMessageRow(text, style));
}

void CServiceUtility::SendEncodedRow(const CByteBlock& row) { GetRequest()->SendMoreData(row); }

void PostGlobalMsgToAll(const std::string& text, uint8_t style) {
  const std::unique_ptr<CByteBlock> row(EncodeMessageRow(text, style));
  ForEachListener([&](CServiceUtility& listener) { listener.SendEncodedRow(*row); });
}

bool PostGlobalMsgToUserID(const std::string& userId, const std::string& text, uint8_t style) {
  std::unique_ptr<CByteBlock> row;
  ForEachListener([&](CServiceUtility& listener) {
    CUser* user = listener.GetUser();
    if (user == nullptr || strcasecmp(user->GetUserID().c_str(), userId.c_str()) != 0) return;
    if (!row) row.reset(EncodeMessageRow(text, style));
    listener.SendEncodedRow(*row);
  });
  return row != nullptr;
}

int GetGlobalListenerCount() { return g_listening; }
