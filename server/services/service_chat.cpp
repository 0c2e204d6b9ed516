#include "server/services/service_chat.h"

#include <strings.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <unordered_map>

#include "common/byte_block.h"
#include "common/module_registration.h"
#include "server/core/counter_block.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/server.h"
#include "server/core/service_factory.h"
#include "server/core/transport_base.h"
#include "server/core/user.h"
#include "server/data/connection_pool.h"
#include "server/data/schema_recordsets.h"
#include "server/services/chat_invitations.h"

QN_REGISTER_SERVICE(CServiceChat);

namespace {

const std::string kChatConnect = "DSN=Quillnet Server;DBQ=QNCHAT.MDB";
constexpr int32_t kPrivateRoomMax = 100;
constexpr int kAckLimit = 3;
// A row travels in one frame after the 3-byte packet header.
constexpr size_t kMaxRow = 32767 - 3;

std::vector<CChatRoom*> g_rooms;
const CModuleRegistration s_chatModule(&CServiceChat::InitModule, &CServiceChat::TermModule);

void CountTotal(CCounterBlock::Total which, int32_t delta) {
  CServer* server = CTransportBase::GetServer();
  if (server != nullptr && server->GetStatusBlock() != nullptr)
    server->GetStatusBlock()->AddTotal(which, delta);
}

bool SameId(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// A client text ends at its first zero byte, as in every other reply.
std::string UpToZero(const std::string& text) { return text.substr(0, text.find('\0')); }

void AppendText(std::vector<uint8_t>& out, const std::string& text, size_t limit) {
  const size_t length = std::min({text.find('\0'), text.size(), limit});
  out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
  out.push_back(0);
}

bool IsPrivateName(const std::string& name) { return name.size() >= 2 && name[0] == '*'; }

}  // namespace

namespace qn::chat {

std::vector<uint8_t> LineRow(const std::string& source, const std::string& destination,
                             uint8_t code, const std::string& text) {
  // Three zero bytes and the code; the message gives way first.
  size_t room = kMaxRow - 4;
  std::vector<uint8_t> row;
  row.reserve(std::min(kMaxRow, source.size() + destination.size() + text.size() + 4));
  const size_t before = row.size();
  AppendText(row, source, room);
  room -= row.size() - before - 1;
  const size_t mid = row.size();
  AppendText(row, destination, room);
  room -= row.size() - mid - 1;
  row.push_back(code);
  AppendText(row, text, room);
  return row;
}

const std::vector<uint8_t>& LineSchema() {
  static const std::vector<uint8_t> schema = [] {
    CColumnTypes columns(4, -1);
    columns.AddColumn(kColumnString, "SrcUserID");
    columns.AddColumn(kColumnString, "DstUserID");
    columns.AddColumn(kColumnByte, "MsgCode");
    columns.AddColumn(kColumnString, "Message");
    std::unique_ptr<CByteBlock> body(columns.BuildPacket());
    return std::vector<uint8_t>(body->data, body->data + body->length);
  }();
  return schema;
}

}  // namespace qn::chat

// Rooms

CChatRoom::CChatRoom(std::string name, int32_t type, int32_t maxInRoom, int32_t keyId)
    : m_strName(std::move(name)), m_nType(type), m_nMaxInRoom(maxInRoom), m_nKeyID(keyId) {}

CChatRoom::~CChatRoom() {
  // Occupants still inside (module stop) keep no pointer to the room.
  while (!m_occupants.empty()) {
    CServiceChat* occupant = m_occupants.back();
    RemoveOccupant(occupant);
    occupant->ForgetRoom();
  }
}

void CChatRoom::AddOccupant(CServiceChat* occupant) {
  if (m_occupants.empty()) CountTotal(CCounterBlock::kChatRooms, 1);
  m_occupants.push_back(occupant);
  CountTotal(CCounterBlock::kChatOccupants, 1);
}

void CChatRoom::RemoveOccupant(CServiceChat* occupant) {
  const auto it = std::find(m_occupants.begin(), m_occupants.end(), occupant);
  if (it == m_occupants.end()) return;
  m_occupants.erase(it);
  CountTotal(CCounterBlock::kChatOccupants, -1);
  if (m_occupants.empty()) CountTotal(CCounterBlock::kChatRooms, -1);
}

bool CChatRoom::HasOccupant(const std::string& userId) const { return FindOccupant(userId) != nullptr; }

CServiceChat* CChatRoom::FindOccupant(const std::string& userId) const {
  for (CServiceChat* occupant : m_occupants)
    if (SameId(occupant->GetUserID(), userId)) return occupant;
  return nullptr;
}

int CChatRoom::CountOccupants(int mask) const {
  if (mask == 255) return static_cast<int>(m_occupants.size());
  int count = 0;
  for (const CServiceChat* occupant : m_occupants)
    if (occupant->GetKind() & mask) ++count;
  return count;
}

CChatRoom* FindChatRoom(const std::string& name) {
  for (CChatRoom* room : g_rooms)
    if (SameId(room->m_strName, name)) return room;
  return nullptr;
}

CChatRoom* AddChatRoom(const std::string& name, int32_t type, int32_t maxInRoom, int32_t keyId) {
  g_rooms.push_back(new CChatRoom(name, type, maxInRoom, keyId));
  return g_rooms.back();
}

void RemoveChatRoom(CChatRoom* room) {
  const auto it = std::find(g_rooms.begin(), g_rooms.end(), room);
  if (it != g_rooms.end()) g_rooms.erase(it);
  delete room;
}

const std::vector<CChatRoom*>& GetChatRooms() { return g_rooms; }

// Module

void CServiceChat::InitModule() {
  LoadRooms();
  AddLogonHook(&CServiceChat::OnUserLogon);
}

void CServiceChat::TermModule() {
  RemoveLogonHook(&CServiceChat::OnUserLogon);
  while (!g_rooms.empty()) RemoveChatRoom(g_rooms.back());
  ClearChatInvitations();
}

void CServiceChat::LoadRooms() {
  try {
    CChatRooms_2 rooms(GetDatabase(kChatConnect, false));
    rooms.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
    for (; !rooms.IsEOF(); rooms.MoveNext())
      AddChatRoom(rooms.m_Room, 0, rooms.m_MaxInRoom, rooms.m_RoomKeyID);
  } catch (const std::exception&) {
    // The rooms read so far are the rooms of this run.
  }
}

// The service

CServiceChat::~CServiceChat() {
  if (m_bInRoom) LeaveRoom(false);
}

int CServiceChat::ProcessRequest() {
  struct Item {
    const char* name;
    const char* alias;
    int (CServiceChat::*handler)();
  };
  static const Item kItems[] = {
      {"EnterRoom", "room", &CServiceChat::EnterRoom},
      {"GetRoomOccupants", "go", &CServiceChat::GetRoomOccupants},
      {"GetRoomNames", "gr", &CServiceChat::GetRoomNames},
      {"InviteUser", "i", &CServiceChat::InviteUser},
      {"UninviteUser", "u", &CServiceChat::UninviteUser},
      {"GetInvitedList", "gil", &CServiceChat::GetInvitedList},
  };
  if (GetUser() == nullptr) return qn::kResultMissing;
  for (const Item& item : kItems)
    if (SameId(GetItem(), item.name) || SameId(GetItem(), item.alias)) return (this->*item.handler)();
  return qn::kResultMissing;
}

bool CServiceChat::HasChatKey() const { return GetUser()->CanUseKey("Chat", "chat"); }

void CServiceChat::SendRow(const std::vector<uint8_t>& schema, const std::vector<uint8_t>& row) {
  CRequestContext* request = GetRequest();
  if (!m_bSchemaSent) {
    m_bSchemaSent = true;
    request->SendData(new CByteBlock(schema.data(), static_cast<int32_t>(schema.size())));
  }
  request->SendMoreData(row.data(), row.size());
}

void CServiceChat::SendChatRow(const std::vector<uint8_t>& row) { SendRow(qn::chat::LineSchema(), row); }

void CServiceChat::DeliverLimited(const std::vector<uint8_t>& row) {
  if (m_bAckMode) {
    if (m_nUnacknowledged >= kAckLimit) return;
    ++m_nUnacknowledged;
  }
  SendChatRow(row);
}

int CServiceChat::Refuse(uint8_t code) {
  PostChatLine(code, "", "", nullptr, kEveryone, "");
  return qn::kResultMissing;
}

int CServiceChat::EnterRoom() {
  CUser* user = GetUser();
  if (!HasChatKey()) return Refuse(kNoChatKey);

  std::string name, mode;
  if (GetParam(0, name) != 0) return qn::kResultBadParameters;
  name = UpToZero(name);
  if (name.empty()) return qn::kResultBadParameters;
  bool watcher = false;
  if (GetParam(1, mode) == 0) {
    if (SameId(mode, "spy")) watcher = true;
    else if (SameId(mode, "ackfilter")) m_bAckMode = true;
    else return qn::kResultBadParameters;
  }

  m_bSysop = user->CanUseKey("Chat", "Sysop");
  if (watcher && !m_bSysop) return Refuse(kSpyRefused);

  CChatRoom* room = FindChatRoom(name);
  if (room != nullptr && room->HasOccupant(user->GetUserID())) return Refuse(kAlreadyIn);

  bool created = false;
  const bool isPrivate = IsPrivateName(name);
  if (isPrivate) {
    watcher = false;
    if (!user->CanUseKey("Chat", "Private")) return Refuse(kNoPrivateKey);
    const std::string owner = name.substr(1);
    if (!SameId(owner, user->GetUserID()) && !IsChatInvited(owner, user->GetUserID()))
      return Refuse(kNotInvited);
    if (room == nullptr) {
      const CUser* ownerUser = FindUserByID(owner);
      room = AddChatRoom("*" + (ownerUser != nullptr ? ownerUser->GetUserID() : owner), 1,
                         kPrivateRoomMax, -1);
      created = true;
    }
  } else if (room == nullptr) {
    return Refuse(kNoSuchRoom);
  }

  if (!watcher && room->CountOccupants(5) == room->m_nMaxInRoom) {
    if (created) RemoveChatRoom(room);
    return Refuse(kRoomFull);
  }
  if (!user->HasKeyID(room->m_nKeyID)) {
    if (created) RemoveChatRoom(room);
    return Refuse(kNoRoomKey);
  }

  user->DeductCredits(user->GetKeyIDCost(room->m_nKeyID));
  m_strUserID = user->GetUserID();
  m_nKind = watcher ? kWatcher : kOrdinary;
  m_pRoom = room;
  room->AddOccupant(this);
  m_bInRoom = true;

  PostChatLine(kInRoom, "", "", nullptr, kEveryone, "");
  std::string profile;
  try {
    profile = user->GetShortProfile();
  } catch (const std::exception&) {
    // The entry stands; the others see it without a profile.
  }
  PostChatLine(kEntered, m_strUserID, profile, room, m_nKind, "");

  if (isPrivate) user->ChargeKey("Chat", "Private");
  user->ChargeKey("Chat", "chat");
  PostAudit("EnterRoom", m_strUserID + " entered chat room " + name);
  return 0;
}

int CServiceChat::OnMoreParams() {
  if (GetParams().empty()) {
    if (m_bInRoom) LeaveRoom(true);
    GetRequest()->EndRequest();  // this service is gone with it
    return 0;
  }
  if (!m_bInRoom) return qn::kResultMissing;

  int32_t code = 0;
  if (GetNextParamLong(code) != 0) return qn::kResultBadParameters;
  std::string text, destination;
  switch (code) {
    case 0:
    case 5:
      if (GetNextParam(text) != 0) return qn::kResultBadParameters;
      PostChatLine(static_cast<uint8_t>(code), m_strUserID, text, m_pRoom, kEveryone, "");
      return 0;
    case 1:
    case 6:
      if (GetNextParam(text) != 0 || GetNextParam(destination) != 0)
        return qn::kResultBadParameters;
      destination = UpToZero(destination);
      // A private line to nobody is dropped, never spoken to the room.
      if (!destination.empty())
        PostChatLine(static_cast<uint8_t>(code), m_strUserID, text, m_pRoom, kEveryone, destination);
      return 0;
    case kMultiLine: {
      if (GetParamCount() < 3) return 0;
      GetNextParam(text);
      PostToEach(text, GetParams());
      return 0;
    }
    case kAck:
      if (m_bAckMode && m_nUnacknowledged > 0) --m_nUnacknowledged;
      return 0;
    default:
      return qn::kResultMissing;
  }
}

void CServiceChat::PostChatLine(uint8_t code, const std::string& source, const std::string& text,
                                CChatRoom* room, int audience, const std::string& destination) {
  const std::vector<uint8_t> line = qn::chat::LineRow(source, destination, code, text);
  if (room == nullptr) {
    DeliverLimited(line);
    return;
  }
  const auto ack = [&] { return qn::chat::LineRow(source, destination, kAck, ""); };
  // Sending never ends a request here (a connection over its output limit
  // closes from the loop), so the occupant list holds still during the walk;
  // the index walk is bounded all the same.
  const std::vector<CServiceChat*>& occupants = room->GetOccupants();
  if (!destination.empty()) {
    CServiceChat* target = room->FindOccupant(destination);
    if (target != nullptr) PostPrivateLine(line, ack(), room, target);
    return;
  }
  for (size_t i = 0; i < occupants.size(); ++i) {
    CServiceChat* occupant = occupants[i];
    if (audience != kEveryone && occupant->m_nKind != kWatcher && !occupant->m_bSysop) continue;
    if (occupant == this && m_bAckMode) SendChatRow(ack());
    else occupant->DeliverLimited(line);
  }
}

void CServiceChat::PostPrivateLine(const std::vector<uint8_t>& line, const std::vector<uint8_t>& ack,
                                   CChatRoom* room, CServiceChat* target) {
  if (target != this) {
    if (m_bAckMode) SendChatRow(ack);
    else DeliverLimited(line);
  }
  target->DeliverLimited(line);
  const std::vector<CServiceChat*>& occupants = room->GetOccupants();
  for (size_t i = 0; i < occupants.size(); ++i) {
    CServiceChat* watcher = occupants[i];
    if (watcher != this && watcher != target && watcher->m_nKind == kWatcher)
      watcher->SendChatRow(line);
  }
}

void CServiceChat::PostToEach(const std::string& text, const std::string& params) {
  // Each occupant named gets the line once, however often and in whatever
  // case the input names it: the occupant leaves the index with its line.
  // One pass over the input and one look-up per name, so a packet full of
  // names costs its length, not its length times the room.
  std::unordered_map<std::string, CServiceChat*> byId;
  for (CServiceChat* occupant : m_pRoom->GetOccupants())
    byId.emplace(FoldUserId(occupant->m_strUserID), occupant);
  size_t at = params.find(qn::kParamSeparator);
  at = at == std::string::npos ? params.size() : params.find(qn::kParamSeparator, at + 1);
  while (at < params.size() && m_bInRoom && !byId.empty()) {
    const size_t start = at + 1;
    at = std::min(params.find(qn::kParamSeparator, start), params.size());
    const std::string destination = UpToZero(params.substr(start, at - start));
    if (destination.empty()) continue;
    const auto found = byId.find(FoldUserId(destination));
    if (found == byId.end()) continue;
    CServiceChat* target = found->second;
    byId.erase(found);
    // As typed, as a line to that one occupant would carry it.
    PostPrivateLine(qn::chat::LineRow(m_strUserID, destination, kPrivateLine, text),
                    qn::chat::LineRow(m_strUserID, destination, kAck, ""), m_pRoom, target);
  }
}

void CServiceChat::LeaveRoom(bool announceToSelf) {
  CChatRoom* room = m_pRoom;
  m_bInRoom = false;
  m_pRoom = nullptr;
  if (room == nullptr) return;
  // A request that is gone or going hears nothing more; the others still
  // hear of the leave.
  if (!announceToSelf) room->RemoveOccupant(this);
  if (m_nKind == kOrdinary) PostChatLine(kLeft, m_strUserID, "", room, kEveryone, "");
  room->RemoveOccupant(this);
  if (room->m_nType == 1 && SameId(room->m_strName, "*" + m_strUserID)) EmptyOwnRoom(room);
}

void CServiceChat::PutOut(CServiceChat* occupant, CChatRoom* room) {
  // Ending the request deletes it and its service, which leaves the room on
  // its way (telling the others). A request that cannot go at once (its own
  // follow-up is running) is taken out here so that the walk moves on.
  occupant->GetRequest()->EndRequest();
  // The leave may have emptied and deleted the room (the owner's own entry).
  if (std::find(g_rooms.begin(), g_rooms.end(), room) == g_rooms.end()) return;
  const auto& left = room->GetOccupants();
  if (std::find(left.begin(), left.end(), occupant) != left.end()) {
    room->RemoveOccupant(occupant);
    occupant->ForgetRoom();
  }
}

void CServiceChat::EmptyOwnRoom(CChatRoom* room) {
  while (!room->GetOccupants().empty()) {
    CServiceChat* occupant = room->GetOccupants().front();
    occupant->SendChatRow(qn::chat::LineRow(m_strUserID, occupant->m_strUserID, kPutOut, ""));
    PutOut(occupant, room);
  }
  RemoveChatRoom(room);
}
