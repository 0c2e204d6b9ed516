// The "Chat" service: rooms a member enters with a request that stays open
// while the member is in the room, chat lines arriving as follow-ups of that
// request and pushed to the other occupants as rows on their own requests,
// room and occupant lists, and invitations into members' private rooms.
// Everything here runs on the main thread.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "server/core/service_base.h"

class CServiceChat;
class CUser;

class CChatRoom {
 public:
  CChatRoom(std::string name, int32_t type, int32_t maxInRoom, int32_t keyId);
  ~CChatRoom();
  CChatRoom(const CChatRoom&) = delete;
  CChatRoom& operator=(const CChatRoom&) = delete;

  // The status block's chat totals follow every entry and exit.
  void AddOccupant(CServiceChat* occupant);
  void RemoveOccupant(CServiceChat* occupant);
  bool HasOccupant(const std::string& userId) const;
  CServiceChat* FindOccupant(const std::string& userId) const;
  // 255: every occupant; otherwise those whose kind shares a bit with the
  // mask (5 counts ordinary occupants and leaves watchers out).
  int CountOccupants(int mask) const;
  const std::vector<CServiceChat*>& GetOccupants() const { return m_occupants; }

  std::string m_strName;
  int32_t m_nType;  // 0 public, 1 private
  int32_t m_nMaxInRoom;
  int32_t m_nKeyID;

 private:
  std::vector<CServiceChat*> m_occupants;
};

class CServiceChat : public CServiceBase {
 public:
  enum Kind { kOrdinary = 1, kWatcher = 2 };
  enum Audience { kEveryone = 1, kWatchersAndSysops = 2 };
  // Line codes of the "MsgCode" column.
  enum Code : uint8_t {
    kLine = 0, kPrivateLine = 1, kEntered = 2, kLeft = 3, kPutOut = 4, kMultiLine = 7, kAck = 8,
    kInRoom = 100, kRoomFull = 102, kNoChatKey = 103, kNoPrivateKey = 104, kSpyRefused = 105,
    kNoSuchRoom = 106, kNotInvited = 107, kAlreadyIn = 108, kInviteSelf = 109, kNoRoomKey = 110,
    // InviteUser from a member who holds as many invitations as one may:
    // the guest list of the private room is full.
    kInvitationsFull = kRoomFull,
  };

  CServiceChat() = default;
  // Leaves the room when still in it; says nothing on its own request.
  ~CServiceChat() override;

  bool IsAvailable() override { return true; }
  int ProcessRequest() override;
  int OnMoreParams() override;

  // Delivers one line from this service's request (see the source for the
  // audiences and the acknowledge limit). No room: the line goes to this
  // request alone.
  void PostChatLine(uint8_t code, const std::string& source, const std::string& text,
                    CChatRoom* room, int audience, const std::string& destination);
  // Leaves the room. `announceToSelf`: this request still stands and
  // receives its own leave line like the others.
  void LeaveRoom(bool announceToSelf);
  // Out of the room without a word (the room is going).
  void ForgetRoom() {
    m_bInRoom = false;
    m_pRoom = nullptr;
  }

  int GetKind() const { return m_nKind; }
  const std::string& GetUserID() const { return m_strUserID; }
  bool IsSysop() const { return m_bSysop; }
  bool IsInRoom() const { return m_bInRoom; }
  CChatRoom* GetRoom() const { return m_pRoom; }
  bool IsAckMode() const { return m_bAckMode; }
  int32_t GetUnacknowledged() const { return m_nUnacknowledged; }

  static void InitModule();
  static void TermModule();
  static void LoadRooms();
  static void OnUserLogon(CUser* user, bool logon);

 private:
  int EnterRoom();
  int GetRoomOccupants();
  int GetRoomNames();
  int InviteUser();
  int UninviteUser();
  int GetInvitedList();

  // The key test and the invitee of InviteUser and UninviteUser: 0, or the
  // result to return.
  int ReadInvitee(std::string& invitee);
  // The chat key test shared by every item.
  bool HasChatKey() const;
  // A refusal row of EnterRoom, then 0x9999 for the caller to return.
  int Refuse(uint8_t code);
  // Sends an encoded row body on this request, its schema before the first.
  void SendRow(const std::vector<uint8_t>& schema, const std::vector<uint8_t>& row);
  void SendChatRow(const std::vector<uint8_t>& row);
  // The line row to `receiver`, unless the acknowledge limit holds it back.
  void DeliverLimited(const std::vector<uint8_t>& row);
  // A private line to `target`, an occupant of `room`: the sender's copy (or
  // `ack`), the target's, and every other watcher's.
  void PostPrivateLine(const std::vector<uint8_t>& line, const std::vector<uint8_t>& ack,
                       CChatRoom* room, CServiceChat* target);
  // Input code 7: `text` as a private line to each UserID after the first
  // two parameters of `params`.
  void PostToEach(const std::string& text, const std::string& params);
  // Puts every occupant of this member's own private room out and deletes it.
  void EmptyOwnRoom(CChatRoom* room);
  void PutOut(CServiceChat* occupant, CChatRoom* room);

  int m_nKind = kOrdinary;
  std::string m_strUserID;
  CChatRoom* m_pRoom = nullptr;
  bool m_bSysop = false;
  bool m_bInRoom = false;
  bool m_bSchemaSent = false;
  bool m_bAckMode = false;
  int32_t m_nUnacknowledged = 0;
};

// The room registry and the invitation list, module-wide.
CChatRoom* FindChatRoom(const std::string& name);
// Appends a room to the list, which owns it.
CChatRoom* AddChatRoom(const std::string& name, int32_t type, int32_t maxInRoom, int32_t keyId);
void RemoveChatRoom(CChatRoom* room);
const std::vector<CChatRoom*>& GetChatRooms();

// False when the owner already gave as many as one may (nothing is added).
// An invitee no account can bear is accepted and not kept: nobody could use it.
bool AddChatInvitation(const std::string& owner, const std::string& invitee);
bool IsChatInvited(const std::string& owner, const std::string& invitee);
// An empty invitee removes every pair the user gave or received.
void RemoveChatInvitation(const std::string& user, const std::string& invitee);
void ClearChatInvitations();
int GetChatInvitationCount();

namespace qn::chat {

// Encoded rows, ready to send: the texts end at their first zero byte and the
// message is cut so that the row fits one frame.
std::vector<uint8_t> LineRow(const std::string& source, const std::string& destination,
                             uint8_t code, const std::string& text);
const std::vector<uint8_t>& LineSchema();

}  // namespace qn::chat
