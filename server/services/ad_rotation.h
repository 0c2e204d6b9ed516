// The rotation of advertisements every logged-on member sees: each member's
// place in the list and the seconds left before the next push, advanced by
// the 5-second timer. Pushing is the caller's; a push that reaches no
// listener is tried again at the next tick.
#pragma once
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

class CUser;

namespace qn::ads {

inline constexpr int kTickSeconds = 5;

struct Advertisement {
  std::string app;
  std::string vendor;
  int32_t delay = 0;  // seconds after the push before it (or after logon)
};

// List entries "application TAB vendor TAB delay"; entries with fewer than
// two TABs are skipped, a delay that is no number is 0.
std::vector<Advertisement> ParseAdvertisements(const std::list<std::string>& entries);

class CRotation {
 public:
  // True when the advertisement reached the member.
  using Push = std::function<bool(CUser* user, const Advertisement& ad)>;

  CRotation(std::vector<Advertisement> ads, bool loop);

  // Logon: a viewer at the first advertisement. Logoff: the member's viewers
  // go.
  void OnLogon(CUser* user);
  void OnLogoff(CUser* user);
  // One tick of the timer over every viewer, in logon order. A push may log
  // members off (their connections closing); the walk allows for it.
  void Tick(const Push& push);

  size_t ViewerCount() const { return m_viewers.size(); }
  bool IsViewing(CUser* user) const { return m_byUser.count(user) != 0; }

 private:
  struct Viewer {
    CUser* user;
    size_t current;
    int64_t remaining;  // wide: a delay near the 32-bit limit counts down safely
  };
  void RemoveViewersOf(CUser* user);

  std::vector<Advertisement> m_ads;
  bool m_bLoop;
  std::map<uint64_t, Viewer> m_viewers;  // by logon order
  std::unordered_multimap<CUser*, uint64_t> m_byUser;
  uint64_t m_nNextViewer = 0;
};

}  // namespace qn::ads
