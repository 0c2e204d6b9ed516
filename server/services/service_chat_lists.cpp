// The chat requests that enter no room: the room and occupant lists and the
// invitations into members' private rooms.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <unordered_set>
#include <utility>

#include "common/byte_block.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/user.h"
#include "server/services/chat_invitations.h"
#include "server/services/service_chat.h"
#include "server/services/service_utility.h"

namespace {

CChatInvitations g_invitations;

// A logged-on member's user ID is at most as long as the account column
// that holds it; an invitee longer than that can never enter, and keeping it
// would only let one member's requests fill memory.
constexpr size_t kMaxUserIdBytes = 255;

bool SameId(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::vector<uint8_t> Schema(std::initializer_list<std::pair<uint8_t, const char*>> columns) {
  CColumnTypes schema(static_cast<int>(columns.size()), -1);
  for (const auto& [type, name] : columns) schema.AddColumn(type, name);
  std::unique_ptr<CByteBlock> body(schema.BuildPacket());
  return std::vector<uint8_t>(body->data, body->data + body->length);
}

const std::vector<uint8_t>& NamesSchema() {
  static const auto schema =
      Schema({{kColumnByte, "Code"}, {kColumnString, "RoomName"}, {kColumnByte, "NumberPresent"}});
  return schema;
}
const std::vector<uint8_t>& OccupantsSchema() {
  static const auto schema =
      Schema({{kColumnByte, "code"}, {kColumnString, "UserID"}, {kColumnString, "shortProfile"}});
  return schema;
}
const std::vector<uint8_t>& InvitedSchema() {
  static const auto schema = Schema({{kColumnString, "UserID"}, {kColumnString, "shortProfile"}});
  return schema;
}
const std::vector<uint8_t>& SuccessSchema() {
  static const auto schema = Schema({{kColumnByte, "Success"}});
  return schema;
}

// Row values; texts end at their first zero byte and a row fits one frame.
class RowBytes {
 public:
  RowBytes& Byte(int value) {
    bytes_.push_back(static_cast<uint8_t>(std::clamp(value, 0, 255)));
    return *this;
  }
  RowBytes& Text(const std::string& text) {
    const size_t room = kMaxRow > bytes_.size() + 1 ? kMaxRow - bytes_.size() - 1 : 0;
    const size_t length = std::min({text.find('\0'), text.size(), room});
    bytes_.insert(bytes_.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
    bytes_.push_back(0);
    return *this;
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  static constexpr size_t kMaxRow = 32767 - 3 - 1;
  std::vector<uint8_t> bytes_;
};

std::string ShortProfileOf(CUser* user) {
  if (user == nullptr) return "";
  try {
    return user->GetShortProfile();
  } catch (const std::exception&) {
    return "";
  }
}

std::string Lower(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

}  // namespace

bool AddChatInvitation(const std::string& owner, const std::string& invitee) {
  if (invitee.size() > kMaxUserIdBytes) return true;
  return g_invitations.Add(owner, invitee) != CChatInvitations::AddResult::kOwnerFull;
}

bool IsChatInvited(const std::string& owner, const std::string& invitee) {
  return g_invitations.Contains(owner, invitee);
}

void RemoveChatInvitation(const std::string& user, const std::string& invitee) {
  g_invitations.Remove(user, invitee);
}

void ClearChatInvitations() { g_invitations.Clear(); }

int GetChatInvitationCount() { return static_cast<int>(g_invitations.Count()); }

void CServiceChat::OnUserLogon(CUser* user, bool logon) {
  if (!logon) RemoveChatInvitation(user->GetUserID(), "");
}

int CServiceChat::GetRoomNames() {
  CUser* user = GetUser();
  if (!HasChatKey()) {
    SendRow(NamesSchema(), RowBytes().Byte(kNoChatKey).Text("").Byte(0).bytes());
    return qn::kResultMissing;
  }
  const bool sysop = user->CanUseKey("Chat", "Sysop");
  struct Entry {
    int type;
    std::string name;
    int present;
  };
  // Later entries go in front; the first entry of a name wins.
  std::vector<Entry> entries;
  std::unordered_set<std::string> names;
  auto add = [&](int type, const std::string& name, int present) {
    if (names.insert(Lower(name)).second) entries.push_back({type, name, present});
  };
  auto presentIn = [](const std::string& name) {
    const CChatRoom* room = FindChatRoom(name);
    return room != nullptr ? room->CountOccupants(5) : 0;
  };
  for (const CChatRoom* room : GetChatRooms()) {
    if (room->m_nType == 1 && !sysop) continue;
    if (room->m_nKeyID != -1 && !user->HasKeyID(room->m_nKeyID)) continue;
    add(room->m_nType, room->m_strName, room->CountOccupants(5));
  }
  for (const std::string& owner : g_invitations.OwnersOf(user->GetUserID()))
    add(1, "*" + owner, presentIn("*" + owner));
  if (user->CanUseKey("Chat", "Private")) {
    const std::string own = "*" + user->GetUserID();
    add(1, own, presentIn(own));
  }
  for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    SendRow(NamesSchema(), RowBytes().Byte(it->type).Text(it->name).Byte(it->present).bytes());
  GetRequest()->EndRequest();
  return 0;
}

int CServiceChat::GetRoomOccupants() {
  if (!HasChatKey()) {
    SendRow(OccupantsSchema(), RowBytes().Byte(kNoChatKey).Text("").Text("").bytes());
    return qn::kResultMissing;
  }
  std::string name;
  if (GetParam(0, name) != 0) return qn::kResultBadParameters;
  const CChatRoom* room = FindChatRoom(name.substr(0, name.find('\0')));
  if (room == nullptr) {
    SendRow(OccupantsSchema(), RowBytes().Byte(kNoSuchRoom).Text("").Text("").bytes());
    return qn::kResultMissing;
  }
  const bool sysop = GetUser()->CanUseKey("Chat", "Sysop");
  // Reading a profile may reach the database; the list is taken first.
  const std::vector<CServiceChat*> occupants = room->GetOccupants();
  std::vector<std::vector<uint8_t>> rows;
  for (const CServiceChat* occupant : occupants) {
    if (occupant->GetKind() == kWatcher && !sysop) continue;
    rows.push_back(RowBytes()
                       .Byte(occupant->GetKind())
                       .Text(occupant->GetUserID())
                       .Text(ShortProfileOf(occupant->GetUser()))
                       .bytes());
  }
  for (const auto& row : rows) SendRow(OccupantsSchema(), row);
  GetRequest()->EndRequest();
  return 0;
}

int CServiceChat::ReadInvitee(std::string& invitee) {
  if (!HasChatKey()) {
    SendRow(SuccessSchema(), RowBytes().Byte(kNoChatKey).bytes());
    return qn::kResultMissing;
  }
  if (GetParam(0, invitee) != 0) return qn::kResultBadParameters;
  invitee = invitee.substr(0, invitee.find('\0'));
  return 0;
}

int CServiceChat::InviteUser() {
  CUser* user = GetUser();
  std::string invitee;
  if (const int refused = ReadInvitee(invitee)) return refused;
  // An invitation to nobody would read as "every pair" when withdrawn.
  if (invitee.empty()) return qn::kResultBadParameters;
  if (SameId(invitee, user->GetUserID())) {
    SendRow(SuccessSchema(), RowBytes().Byte(kInviteSelf).bytes());
    return qn::kResultMissing;
  }
  const std::string& me = user->GetUserID();
  // A member who has given as many as one may is refused as for the self.
  if (!IsChatInvited(me, invitee) &&
      g_invitations.CountGivenBy(me) >= CChatInvitations::kMaxPerOwner) {
    SendRow(SuccessSchema(), RowBytes().Byte(kInvitationsFull).bytes());
    return qn::kResultMissing;
  }
  PostGlobalMsgToUserID(invitee,
                        "Chat: You have been invited to enter " + me + "'s Private Chat Room (\"*" +
                            me + "\")",
                        0);
  AddChatInvitation(me, invitee);
  GetRequest()->EndRequest();
  return 0;
}

int CServiceChat::UninviteUser() {
  std::string invitee;
  if (const int refused = ReadInvitee(invitee)) return refused;
  const std::string me = GetUser()->GetUserID();
  RemoveChatInvitation(me, invitee);
  CChatRoom* room = FindChatRoom("*" + me);
  CServiceChat* guest = room != nullptr && !invitee.empty() ? room->FindOccupant(invitee) : nullptr;
  if (guest != nullptr) {
    PostChatLine(kPutOut, me, "", room, kEveryone, guest->GetUserID());
    PutOut(guest, room);
  }
  GetRequest()->EndRequest();
  return 0;
}

int CServiceChat::GetInvitedList() {
  if (!HasChatKey()) {
    SendRow(InvitedSchema(), RowBytes().Text("nokey").Text("").bytes());
    return qn::kResultMissing;
  }
  const std::string& me = GetUser()->GetUserID();
  std::vector<std::vector<uint8_t>> rows;
  for (const std::string& invitee : g_invitations.InviteesOf(me)) {
    CUser* member = FindUserByID(invitee);
    if (member != nullptr) rows.push_back(RowBytes().Text(invitee).Text(ShortProfileOf(member)).bytes());
  }
  for (const auto& row : rows) SendRow(InvitedSchema(), row);
  GetRequest()->EndRequest();
  return 0;
}
