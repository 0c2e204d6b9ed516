#include "tools/config/core/section_values.h"

#include "platform/registry_text.h"

namespace qn::config {

const reg::Value* FindValue(const std::vector<reg::Value>& section, std::string_view name) {
  for (const auto& v : section)
    if (reg::text::EqualFold(v.name, name)) return &v;
  return nullptr;
}

std::optional<std::string> StringValue(const std::vector<reg::Value>& section, std::string_view name) {
  const reg::Value* v = FindValue(section, name);
  if (v == nullptr || (v->type != reg::kString && v->type != reg::kExpandString)) return std::nullopt;
  return reg::AsString(*v);
}

std::optional<uint32_t> DwordValue(const std::vector<reg::Value>& section, std::string_view name) {
  const reg::Value* v = FindValue(section, name);
  if (v == nullptr || v->type != reg::kDword || v->data.size() != 4) return std::nullopt;
  return v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) | (static_cast<uint32_t>(v->data[3]) << 24);
}

}  // namespace qn::config
