// The invitations into members' private rooms: pairs (owner, invitee), each
// kept as typed, both user IDs compared without regard to case. Every look-up
// and removal goes straight to the pairs concerned, and the walks give the
// pairs in the order they were made, as the room and invitee lists show them.
// Main thread only; no I/O.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// A user ID in the form two IDs compare equal in without regard to ASCII
// case (as strcasecmp compares them).
std::string FoldUserId(const std::string& id);

class CChatInvitations {
 public:
  // Invitations one member may have given at once.
  static constexpr size_t kMaxPerOwner = 1000;

  enum class AddResult { kAdded, kAlreadyThere, kOwnerFull };
  // A pair already there (in any case) stays as it was typed first.
  AddResult Add(const std::string& owner, const std::string& invitee);
  bool Contains(const std::string& owner, const std::string& invitee) const;
  // A non-empty invitee: the owner's pair with it. An empty one: every pair
  // the user gave or received.
  void Remove(const std::string& user, const std::string& invitee);
  void Clear();

  size_t Count() const { return m_pairs.size(); }
  size_t CountGivenBy(const std::string& owner) const;
  // The invitees of an owner and the owners who invited an invitee, as typed,
  // oldest first.
  std::vector<std::string> InviteesOf(const std::string& owner) const;
  std::vector<std::string> OwnersOf(const std::string& invitee) const;

 private:
  struct Pair {
    std::string owner, invitee;
  };
  // Folded user ID -> the other side's folded ID -> the pair's number.
  using Index = std::unordered_map<std::string, std::unordered_map<std::string, uint64_t>>;

  void Erase(uint64_t number);
  // The pairs of one side, oldest first, as typed on the other side.
  std::vector<std::string> Walk(const Index& index, const std::string& id, bool owners) const;

  std::map<uint64_t, Pair> m_pairs;  // by number: the order they were made
  Index m_byOwner;
  Index m_byInvitee;
  uint64_t m_nNext = 1;
};
