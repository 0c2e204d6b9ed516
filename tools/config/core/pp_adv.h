// Page "Advertisements" (dialog 130) without its window: the list of
// advertisement lines ("application TAB vendor TAB seconds", in the order
// the server pushes them), its selection, the buttons' states and "Loop".
#pragma once
#include <string>
#include <vector>

#include "tools/config/core/config_host.h"

namespace qn::config {

class CPPAdv {
 public:
  static constexpr int kList = 1008;
  static constexpr int kAdd = 1009;
  static constexpr int kRemove = 1010;
  static constexpr int kUp = 1018;
  static constexpr int kDown = 1019;
  static constexpr int kLoop = 1020;
  static constexpr int kNoSelection = -1;

  struct ButtonStates {
    bool remove = false;
    bool up = false;
    bool down = false;
    bool operator==(const ButtonStates&) const = default;
  };

  // Every value of the section but "Loop", in file order, as the server
  // reads them (entries it skips are not shown).
  void Load(const std::vector<reg::Value>& section);

  const std::vector<std::string>& Lines() const { return lines_; }
  int Selection() const { return selection_; }
  // The one rule for Remove, Up and Down, whatever happened last.
  ButtonStates Buttons() const;
  bool Loop() const { return loop_; }
  void SetLoop(bool loop) { loop_ = loop; }

  void OnSelChange(int line);
  void OnAdd(IConfigView& view);
  void OnRemove(IConfigView& view);
  void OnMoveUp();
  void OnMoveDown();

  // The list, when it changed, replaces every advertisement value ("Loop"
  // stays as stored unless it changed too).
  void AddChanges(std::vector<SectionWrite>& writes) const;
  void Commit();

 private:
  std::vector<std::string> lines_, savedLines_;
  int selection_ = kNoSelection;
  bool loop_ = false, savedLoop_ = false;
};

}  // namespace qn::config
