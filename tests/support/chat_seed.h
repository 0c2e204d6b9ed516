// Chat rooms, chat keys and chatting members for the end-to-end tests, in
// either storage mode. Rooms are read at server start: seed before it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "support/member_install.h"

namespace qn::test {

// Key ids of the application "Chat".
enum ChatKey : int32_t { kChatKeyChat = 20, kChatKeyPrivate = 21, kChatKeySysop = 22, kChatKeyGold = 23 };

struct ChatRoomSeed {
  std::string name;
  int32_t keyId;
  int16_t maxInRoom;
};

// The chat keys (the room key "Gold" costs 5 credits, the others nothing)
// and the rooms, in this order.
void SeedChat(MemberInstall& install, const std::vector<ChatRoomSeed>& rooms);

// An account (password "pw", 1000 credits, no rate, no time limit) with its
// short profile and the given chat keys held directly.
void AddChatMember(MemberInstall& install, const std::string& userId,
                   const std::vector<int32_t>& keys, const std::string& shortProfile = "");

// `count` accounts named prefix + n holding the chat key, in few statements.
void AddChatMembers(MemberInstall& install, const std::string& prefix, int count);

}  // namespace qn::test
