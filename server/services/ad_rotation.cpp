#include "server/services/ad_rotation.h"

#include <cstdlib>

namespace qn::ads {

std::vector<Advertisement> ParseAdvertisements(const std::list<std::string>& entries) {
  std::vector<Advertisement> ads;
  for (const std::string& entry : entries) {
    const size_t first = entry.find('\t');
    if (first == std::string::npos) continue;
    const size_t second = entry.find('\t', first + 1);
    if (second == std::string::npos) continue;
    Advertisement ad;
    ad.app = entry.substr(0, first);
    ad.vendor = entry.substr(first + 1, second - first - 1);
    ad.delay = static_cast<int32_t>(std::atol(entry.c_str() + second + 1));
    ads.push_back(std::move(ad));
  }
  return ads;
}

CRotation::CRotation(std::vector<Advertisement> ads, bool loop) : m_ads(std::move(ads)), m_bLoop(loop) {}

void CRotation::OnLogon(CUser* user) {
  if (m_ads.empty()) return;
  const uint64_t key = m_nNextViewer++;
  m_viewers.emplace(key, Viewer{user, 0, m_ads[0].delay});
  m_byUser.emplace(user, key);
}

void CRotation::OnLogoff(CUser* user) { RemoveViewersOf(user); }

void CRotation::RemoveViewersOf(CUser* user) {
  const auto [first, last] = m_byUser.equal_range(user);
  for (auto it = first; it != last; ++it) m_viewers.erase(it->second);
  m_byUser.erase(user);
}

void CRotation::Tick(const Push& push) {
  for (auto it = m_viewers.begin(); it != m_viewers.end();) {
    const uint64_t key = it->first;
    Viewer& viewer = it->second;
    const int64_t before = viewer.remaining;
    viewer.remaining -= kTickSeconds;
    if (before <= kTickSeconds) {
      const size_t shown = viewer.current;
      CUser* user = viewer.user;
      const bool pushed = push(user, m_ads[shown]);
      // The push may have logged the member off.
      const auto still = m_viewers.find(key);
      if (still != m_viewers.end()) {
        Viewer& v = still->second;
        if (!pushed) {
          // No listener yet: the same advertisement at the next tick.
          v.remaining = before;
        } else if (shown + 1 < m_ads.size()) {
          v.current = shown + 1;
          v.remaining = m_ads[v.current].delay;
        } else if (m_bLoop) {
          v.current = 0;
          v.remaining = m_ads[0].delay;
        } else {
          RemoveViewersOf(user);  // the rotation has ended for this member
        }
      }
    }
    it = m_viewers.upper_bound(key);
  }
}

}  // namespace qn::ads
