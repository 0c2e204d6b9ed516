// Page "SMTP Email" (dialog 129) without its window: the four settings of
// the SMTP gateway as loaded and as the operator changed them. Only what
// the operator edited is checked and written, so a stored value the editor
// would not accept (a multi-line text, a number out of range) stays as it
// is until it is edited.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/config/core/config_host.h"

namespace qn::config {

class CPPSMTP {
 public:
  static constexpr int kRelay = 1000;
  static constexpr int kArrows = 1002;
  static constexpr int kMaxConnections = 1003;
  static constexpr int kPrimary = 1004;
  static constexpr int kOtherDomains = 1005;
  // What the server uses when "MaxConnections" is missing.
  static constexpr uint32_t kDefaultMaxConnections = 10;
  static constexpr long kMinConnections = 1;
  static constexpr long kMaxConnectionsLimit = 100;

  void Load(const std::vector<reg::Value>& section);
  // The text of edit 1000, 1003, 1004 or 1005.
  const std::string& Text(int control) const;
  // The operator typed into an edit.
  void SetText(int control, std::string text);
  // The arrows beside "Maximum # of Connections:".
  void Step(int delta);

  // The first value, in tab order, that cannot be saved.
  std::optional<Refusal> Validate() const;
  // The changed values; call after Validate found nothing.
  void AddChanges(std::vector<SectionWrite>& writes) const;
  // What was saved is the new starting point.
  void Commit();

 private:
  struct Field {
    std::string saved;
    std::string text;
    bool edited = false;
    bool Changed() const { return edited && text != saved; }
  };
  Field& FieldOf(int control);
  const Field& FieldOf(int control) const;

  Field relay_, primary_, other_, maxConnections_;
  int64_t savedMaxConnections_ = kDefaultMaxConnections;
};

}  // namespace qn::config
