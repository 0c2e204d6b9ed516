#include "tools/config/core/pp_adv.h"

#include <utility>

#include "common/registry.h"
#include "tools/config/core/add_adv_dlg.h"
#include "tools/config/core/config_texts.h"
#include "tools/config/core/section_values.h"

namespace qn::config {

void CPPAdv::Load(const std::vector<reg::Value>& section) {
  lines_.clear();
  for (const auto& v : section)
    if (v.name != CAdvertiseMultiReg::kLoopValue && CMultiRegistry::FitsListBuffers(v))
      lines_.push_back(CAdvertiseMultiReg::EntryFromData(reg::AsString(v)));
  savedLines_ = lines_;
  loop_ = savedLoop_ = DwordValue(section, CAdvertiseMultiReg::kLoopValue).value_or(0) != 0;
  selection_ = lines_.empty() ? kNoSelection : 0;
}

CPPAdv::ButtonStates CPPAdv::Buttons() const {
  const int count = static_cast<int>(lines_.size());
  if (selection_ < 0 || selection_ >= count) return ButtonStates{};
  return ButtonStates{true, selection_ > 0, selection_ < count - 1};
}

void CPPAdv::OnSelChange(int line) {
  selection_ = line >= 0 && line < static_cast<int>(lines_.size()) ? line : kNoSelection;
}

void CPPAdv::OnAdd(IConfigView& view) {
  CAddAdvDlg dialog;
  if (view.RunAddDialog(dialog) != IDOK) return;
  lines_.push_back(dialog.Line());
  if (lines_.size() == 1) selection_ = 0;
}

void CPPAdv::OnRemove(IConfigView& view) {
  if (selection_ == kNoSelection) return;
  const std::string& line = lines_[selection_];
  const std::string question = std::string(texts::kRemoveQuestionStart) + '"' + line.substr(0, line.find('\t')) +
                               '"' + texts::kRemoveQuestionEnd;
  if (view.MessageBox(question, Buttons::YesNo, Icon::Stop) == IDYES) lines_.erase(lines_.begin() + selection_);
  // The line before, whatever the answer; none after the first.
  --selection_;
}

void CPPAdv::OnMoveUp() {
  if (!Buttons().up) return;
  std::swap(lines_[selection_], lines_[selection_ - 1]);
  --selection_;
}

void CPPAdv::OnMoveDown() {
  if (!Buttons().down) return;
  std::swap(lines_[selection_], lines_[selection_ + 1]);
  ++selection_;
}

void CPPAdv::AddChanges(std::vector<SectionWrite>& writes) const {
  SectionWrite write{texts::kAdvertiseSection, {}, false, {}};
  if (lines_ != savedLines_) {
    write.replace = true;
    write.keep.push_back(CAdvertiseMultiReg::kLoopValue);
    for (size_t i = 0; i < lines_.size(); ++i)
      write.values.push_back(reg::MakeString(CAdvertiseMultiReg::ValueName(static_cast<int>(i)),
                                             CAdvertiseMultiReg::DataFromEntry(lines_[i])));
  }
  if (loop_ != savedLoop_) write.values.push_back(reg::MakeDword(CAdvertiseMultiReg::kLoopValue, loop_ ? 1 : 0));
  if (!write.values.empty() || write.replace) writes.push_back(std::move(write));
}

void CPPAdv::Commit() {
  savedLines_ = lines_;
  savedLoop_ = loop_;
}

}  // namespace qn::config
