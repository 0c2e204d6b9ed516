#include "tools/config/core/pp_smtp.h"

#include <stdexcept>

#include "tools/config/core/config_texts.h"
#include "tools/config/core/section_values.h"
#include "tools/config/core/setting_checks.h"

namespace qn::config {

void CPPSMTP::Load(const std::vector<reg::Value>& section) {
  auto load = [&](Field& field, const char* name) {
    field = Field{};
    field.saved = field.text = StringValue(section, name).value_or("");
  };
  load(relay_, texts::kRelayValue);
  load(primary_, texts::kPrimaryValue);
  load(other_, texts::kOtherDomainsValue);
  // Shown as the server takes it: a signed number, so -1 reads as -1.
  savedMaxConnections_ =
      static_cast<int32_t>(DwordValue(section, texts::kMaxConnectionsValue).value_or(kDefaultMaxConnections));
  maxConnections_ = Field{};
  maxConnections_.saved = maxConnections_.text = std::to_string(savedMaxConnections_);
}

CPPSMTP::Field& CPPSMTP::FieldOf(int control) {
  return const_cast<Field&>(static_cast<const CPPSMTP&>(*this).FieldOf(control));
}

const CPPSMTP::Field& CPPSMTP::FieldOf(int control) const {
  switch (control) {
    case kRelay: return relay_;
    case kPrimary: return primary_;
    case kOtherDomains: return other_;
    case kMaxConnections: return maxConnections_;
  }
  throw std::invalid_argument("no edit " + std::to_string(control) + " on the SMTP page");
}

const std::string& CPPSMTP::Text(int control) const { return FieldOf(control).text; }

void CPPSMTP::SetText(int control, std::string text) {
  Field& field = FieldOf(control);
  field.text = std::move(text);
  field.edited = true;
}

void CPPSMTP::Step(int delta) {
  SetText(kMaxConnections, StepInteger(maxConnections_.text, delta, kMinConnections, kMaxConnectionsLimit));
}

std::optional<Refusal> CPPSMTP::Validate() const {
  if (relay_.Changed())
    if (auto refused = CheckHostText(relay_.text, texts::kRelayField)) return Refusal{kRelay, *refused};
  if (primary_.Changed())
    if (auto refused = CheckHostText(primary_.text, texts::kPrimaryField)) return Refusal{kPrimary, *refused};
  if (other_.Changed())
    if (auto refused = CheckOtherDomains(other_.text)) return Refusal{kOtherDomains, *refused};
  if (maxConnections_.Changed())
    if (auto refused = CheckInteger(maxConnections_.text, kMinConnections, kMaxConnectionsLimit))
      return Refusal{kMaxConnections, *refused};
  return std::nullopt;
}

void CPPSMTP::AddChanges(std::vector<SectionWrite>& writes) const {
  SectionWrite write{texts::kSmtpSection, {}, false, {}};
  if (primary_.Changed()) write.values.push_back(reg::MakeString(texts::kPrimaryValue, primary_.text));
  if (other_.Changed()) write.values.push_back(reg::MakeString(texts::kOtherDomainsValue, other_.text));
  if (maxConnections_.Changed()) {
    const int64_t number = ParseInteger(maxConnections_.text).value_or(savedMaxConnections_);
    if (number != savedMaxConnections_)
      write.values.push_back(reg::MakeDword(texts::kMaxConnectionsValue, static_cast<uint32_t>(number)));
  }
  if (relay_.Changed()) write.values.push_back(reg::MakeString(texts::kRelayValue, relay_.text));
  if (!write.values.empty()) writes.push_back(std::move(write));
}

void CPPSMTP::Commit() {
  for (Field* field : {&relay_, &primary_, &other_}) {
    field->saved = field->text;
    field->edited = false;
  }
  if (maxConnections_.Changed()) savedMaxConnections_ = ParseInteger(maxConnections_.text).value_or(savedMaxConnections_);
  maxConnections_.saved = maxConnections_.text;
  maxConnections_.edited = false;
}

}  // namespace qn::config
