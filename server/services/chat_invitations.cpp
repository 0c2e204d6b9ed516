#include "server/services/chat_invitations.h"

#include <algorithm>
#include <cctype>

std::string FoldUserId(const std::string& id) {
  std::string folded = id;
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

CChatInvitations::AddResult CChatInvitations::Add(const std::string& owner,
                                                  const std::string& invitee) {
  const std::string from = FoldUserId(owner), to = FoldUserId(invitee);
  auto& given = m_byOwner[from];
  if (given.count(to) != 0) return AddResult::kAlreadyThere;
  if (given.size() >= kMaxPerOwner) return AddResult::kOwnerFull;
  const uint64_t number = m_nNext++;
  m_pairs.emplace(number, Pair{owner, invitee});
  given.emplace(to, number);
  m_byInvitee[to].emplace(from, number);
  return AddResult::kAdded;
}

bool CChatInvitations::Contains(const std::string& owner, const std::string& invitee) const {
  const auto given = m_byOwner.find(FoldUserId(owner));
  return given != m_byOwner.end() && given->second.count(FoldUserId(invitee)) != 0;
}

size_t CChatInvitations::CountGivenBy(const std::string& owner) const {
  const auto given = m_byOwner.find(FoldUserId(owner));
  return given == m_byOwner.end() ? 0 : given->second.size();
}

void CChatInvitations::Erase(uint64_t number) {
  const auto pair = m_pairs.find(number);
  if (pair == m_pairs.end()) return;
  const std::string from = FoldUserId(pair->second.owner), to = FoldUserId(pair->second.invitee);
  m_pairs.erase(pair);
  const auto unlink = [](Index& index, const std::string& key, const std::string& other) {
    const auto side = index.find(key);
    if (side == index.end()) return;
    side->second.erase(other);
    if (side->second.empty()) index.erase(side);
  };
  unlink(m_byOwner, from, to);
  unlink(m_byInvitee, to, from);
}

void CChatInvitations::Remove(const std::string& user, const std::string& invitee) {
  const std::string id = FoldUserId(user);
  std::vector<uint64_t> gone;
  if (!invitee.empty()) {
    const auto given = m_byOwner.find(id);
    if (given == m_byOwner.end()) return;
    const auto pair = given->second.find(FoldUserId(invitee));
    if (pair != given->second.end()) gone.push_back(pair->second);
  } else {
    for (const Index* index : {&m_byOwner, &m_byInvitee}) {
      const auto side = index->find(id);
      if (side == index->end()) continue;
      for (const auto& [other, number] : side->second) gone.push_back(number);
    }
  }
  for (uint64_t number : gone) Erase(number);
}

void CChatInvitations::Clear() {
  m_pairs.clear();
  m_byOwner.clear();
  m_byInvitee.clear();
}

std::vector<std::string> CChatInvitations::Walk(const Index& index, const std::string& id,
                                                bool owners) const {
  std::vector<std::string> out;
  const auto side = index.find(FoldUserId(id));
  if (side == index.end()) return out;
  std::vector<uint64_t> numbers;
  numbers.reserve(side->second.size());
  for (const auto& [other, number] : side->second) numbers.push_back(number);
  std::sort(numbers.begin(), numbers.end());
  out.reserve(numbers.size());
  for (uint64_t number : numbers) {
    const Pair& pair = m_pairs.at(number);
    out.push_back(owners ? pair.owner : pair.invitee);
  }
  return out;
}

std::vector<std::string> CChatInvitations::InviteesOf(const std::string& owner) const {
  return Walk(m_byOwner, owner, false);
}

std::vector<std::string> CChatInvitations::OwnersOf(const std::string& invitee) const {
  return Walk(m_byInvitee, invitee, true);
}
