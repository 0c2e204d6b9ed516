#include "support/chat_seed.h"

namespace qn::test {

namespace {
std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}
}  // namespace

void SeedChat(MemberInstall& install, const std::vector<ChatRoomSeed>& rooms) {
  install.Exec("QNACCOUN",
               "INSERT INTO Keys (KeyID, AppName, KeyName, Description, KeyCost) VALUES "
               "(20, 'Chat', 'chat', 'Chat', 0), (21, 'Chat', 'Private', 'Own room', 0), "
               "(22, 'Chat', 'Sysop', 'Chat sysop', 0), (23, 'Chat', 'Gold', 'Gold room', 5)");
  for (const ChatRoomSeed& room : rooms)
    install.Exec("QNCHAT", "INSERT INTO ChatRooms (Room, RoomKeyID, MaxInRoom) VALUES (" +
                               Quote(room.name) + ", " + std::to_string(room.keyId) + ", " +
                               std::to_string(room.maxInRoom) + ")");
}

void AddChatMember(MemberInstall& install, const std::string& userId,
                   const std::vector<int32_t>& keys, const std::string& shortProfile) {
  install.Exec("QNACCOUN",
               "INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, MaxTimeOnline, "
               "ShortProfile) VALUES (" + Quote(userId) + ", 'pw', 1000, 0, -1, " +
                   Quote(shortProfile) + ")");
  for (int32_t key : keys)
    install.Exec("QNACCOUN", "INSERT INTO UserID2Keys (UserID, KeyID) VALUES (" + Quote(userId) +
                                 ", " + std::to_string(key) + ")");
}

void AddChatMembers(MemberInstall& install, const std::string& prefix, int count) {
  std::string accounts, keys;
  for (int n = 0; n < count; ++n) {
    const std::string id = Quote(prefix + std::to_string(n));
    accounts += (accounts.empty() ? "" : ", ") + ("(" + id + ", 'pw', 1000, 0, -1)");
    keys += (keys.empty() ? "" : ", ") + ("(" + id + ", 20)");
    if (n % 100 == 99 || n + 1 == count) {
      install.Exec("QNACCOUN",
                   "INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, MaxTimeOnline) "
                   "VALUES " + accounts);
      install.Exec("QNACCOUN", "INSERT INTO UserID2Keys (UserID, KeyID) VALUES " + keys);
      accounts.clear();
      keys.clear();
    }
  }
}

}  // namespace qn::test
