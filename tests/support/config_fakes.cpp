#include "support/config_fakes.h"

#include <algorithm>

#include "platform/registry_text.h"

namespace qn::config::test {

std::vector<reg::Value> FakeStore::ReadSection(const std::string& section) {
  auto it = sections.find(section);
  return it == sections.end() ? std::vector<reg::Value>{} : it->second;
}

bool FakeStore::Write(const std::vector<SectionWrite>& writes, std::string& reason) {
  saves.push_back(writes);
  if (failWith) {
    reason = *failWith;
    return false;
  }
  for (const SectionWrite& w : writes) {
    auto& values = sections[w.section];
    if (w.replace)
      std::erase_if(values, [&](const reg::Value& v) {
        return std::none_of(w.keep.begin(), w.keep.end(),
                            [&](const std::string& name) { return reg::text::EqualFold(name, v.name); });
      });
    for (const reg::Value& v : w.values) {
      auto same = std::find_if(values.begin(), values.end(),
                               [&](const reg::Value& old) { return reg::text::EqualFold(old.name, v.name); });
      if (same == values.end())
        values.push_back(v);
      else
        *same = v;
    }
  }
  return true;
}

std::string FakeStore::Get(const std::string& section, const std::string& name) const {
  auto it = sections.find(section);
  if (it == sections.end()) return "<none>";
  for (const reg::Value& v : it->second) {
    if (!reg::text::EqualFold(v.name, name)) continue;
    if (v.type == reg::kDword && v.data.size() == 4)
      return "dword:" + std::to_string(static_cast<int32_t>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                                             (static_cast<uint32_t>(v.data[3]) << 24)));
    return reg::AsString(v);
  }
  return "<none>";
}

std::vector<std::string> FakeStore::Names(const std::string& section) const {
  std::vector<std::string> names;
  auto it = sections.find(section);
  if (it != sections.end())
    for (const reg::Value& v : it->second) names.push_back(v.name);
  return names;
}

int FakeView::MessageBox(const std::string& text, Buttons buttons, Icon icon) {
  boxes.push_back({text, buttons, icon});
  if (answers.empty()) return buttons == Buttons::YesNo ? IDYES : IDOK;
  const int answer = answers.front();
  answers.pop_front();
  return answer;
}

int FakeView::RunAddDialog(CAddAdvDlg& dialog) {
  if (addDialogs.empty()) return IDCANCEL;
  auto next = std::move(addDialogs.front());
  addDialogs.pop_front();
  return next(dialog);
}

void FakeView::WillAdd(const std::string& application, const std::string& vendor, const std::string& seconds) {
  addDialogs.push_back([this, application, vendor, seconds](CAddAdvDlg& dialog) {
    dialog.m_strApplication = application;
    dialog.m_strVendor = vendor;
    dialog.m_strSeconds = seconds;
    return dialog.OnOK(*this) ? IDOK : IDCANCEL;
  });
}

void FakeView::WillCancelAdd() {
  addDialogs.push_back([](CAddAdvDlg&) { return IDCANCEL; });
}

}  // namespace qn::config::test
