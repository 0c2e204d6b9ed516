#include "common/registry.h"

#include <cstdio>

#include "platform/registry_text.h"

using qn::reg::Hive;
using qn::reg::KeyHandle;
using qn::reg::Status;
using qn::reg::Store;
using qn::reg::Value;

namespace {

constexpr size_t kListNameBuffer = 200;  // characters, with the terminating zero
constexpr size_t kListDataBuffer = 200;  // bytes

KeyHandle OpenOrCreate(Hive root, const std::string& subkey) {
  Store& store = Store::Default();
  const KeyHandle hive = KeyHandle::Root(root);
  KeyHandle key;
  if (store.OpenKey(hive, subkey, key) == qn::reg::kOk) return key;
  if (store.CreateKey(hive, subkey, key) == qn::reg::kOk) return key;
  return KeyHandle();
}

void Replace(std::string& text, char from, char to) {
  for (char& c : text)
    if (c == from) c = to;
}

}  // namespace

CRegistry::CRegistry(Hive root, const std::string& subkey) : m_hKey(OpenOrCreate(root, subkey)) {}

CRegistry::~CRegistry() = default;

KeyHandle CRegistry::OpenSection(const std::string& section) {
  KeyHandle key;
  if (!m_hKey || Store::Default().CreateKey(m_hKey, section, key) != qn::reg::kOk) return KeyHandle();
  return key;
}

uint32_t CRegistry::ReadDWORD(const std::string& section, const std::string& name, uint32_t def) {
  const KeyHandle key = OpenSection(section);
  Value v;
  if (!key || Store::Default().QueryValue(key, name, v) != qn::reg::kOk) return def;
  // Exactly four bytes of any type are the number; longer data does not fit
  // the reader's buffer and shorter data would leave bytes undefined, so both
  // give the default.
  if (v.data.size() != 4) return def;
  return v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
}

std::string CRegistry::ReadString(const std::string& section, const std::string& name,
                                  const std::string& def) {
  const KeyHandle key = OpenSection(section);
  Value v;
  if (!key || Store::Default().QueryValue(key, name, v) != qn::reg::kOk) return def;
  return qn::reg::AsString(v);
}

bool CRegistry::WriteDWORD(const std::string& section, const std::string& name, uint32_t number) {
  const KeyHandle key = OpenSection(section);
  return key && Store::Default().SetValue(key, qn::reg::MakeDword(name, number)) == qn::reg::kOk;
}

bool CRegistry::WriteString(const std::string& section, const char* name, const char* value) {
  if (!m_hKey) return false;
  if (name == nullptr) return Store::Default().DeleteKey(m_hKey, section) == qn::reg::kOk;
  const KeyHandle key = OpenSection(section);
  if (!key) return false;
  if (value == nullptr) return Store::Default().DeleteValue(key, name) == qn::reg::kOk;
  return Store::Default().SetValue(key, qn::reg::MakeString(name, value)) == qn::reg::kOk;
}

bool CRegistry::WriteMultiString(const std::string& section, const std::string& name,
                                 const std::vector<std::string>& items) {
  const KeyHandle key = OpenSection(section);
  return key && Store::Default().SetValue(key, qn::reg::MakeMultiString(name, items)) == qn::reg::kOk;
}

bool CRegistry::Reopen(Hive root, const std::string& subkey) {
  KeyHandle key = OpenOrCreate(root, subkey);
  if (!key) return false;
  m_hKey = key;
  return true;
}

CQuillnetRegistry::CQuillnetRegistry() : CRegistry(HKEY_LOCAL_MACHINE, kQuillnetKey) {}

CMultiRegistry::CMultiRegistry(Hive root, const std::string& subkey)
    : m_hKey(OpenOrCreate(root, subkey)) {}

CMultiRegistry::~CMultiRegistry() = default;

namespace {

// The accepted entries of the key, in file order, from one reading of it.
template <class Add>
void EnumerateEntries(CMultiRegistry& list, const KeyHandle& key, Add add) {
  std::vector<Value> values;
  if (!key || Store::Default().QueryValues(key, values) != qn::reg::kOk) return;
  for (const auto& v : values) {
    if (!CMultiRegistry::FitsListBuffers(v)) continue;
    std::string entry;
    if (list.FormatEntry(entry, v.name, qn::reg::AsString(v))) add(entry);
  }
}

}  // namespace

void CMultiRegistry::ReadList(std::list<std::string>& list) {
  list.clear();
  EnumerateEntries(*this, m_hKey, [&](const std::string& entry) { list.push_back(entry); });
}

void CMultiRegistry::FillListBox(IListBox& box) {
  box.ResetContent();
  EnumerateEntries(*this, m_hKey, [&](const std::string& entry) { box.AddString(entry); });
}

bool CMultiRegistry::SaveList(const std::list<std::string>& list) {
  if (!m_hKey) return false;
  std::vector<Value> values;
  int position = 0;
  for (const auto& entry : list) {
    std::string name, data;
    if (ParseEntry(position++, entry, name, data)) values.push_back(qn::reg::MakeString(name, data));
  }
  return Store::Default().ReplaceValues(m_hKey, values) == qn::reg::kOk;
}

bool CMultiRegistry::FitsListBuffers(const Value& value) {
  return value.name.size() < kListNameBuffer && value.data.size() <= kListDataBuffer;
}

bool CMultiRegistry::FormatEntry(std::string& entry, const std::string& name, const std::string& data) {
  entry = name + '\t' + data;
  return true;
}

bool CMultiRegistry::ParseEntry(int position, const std::string& entry, std::string& name,
                                std::string& data) {
  const size_t tab = entry.find('\t');
  if (tab == std::string::npos) {
    name.clear();
    data = entry;
  } else {
    name = entry.substr(0, tab);
    data = entry.substr(tab + 1);
  }
  return true;
}

CAdvertiseMultiReg::CAdvertiseMultiReg()
    : CMultiRegistry(HKEY_LOCAL_MACHINE, std::string(kQuillnetKey) + "\\Advertise") {}

bool CAdvertiseMultiReg::FormatEntry(std::string& entry, const std::string& name,
                                     const std::string& data) {
  if (name == kLoopValue) return false;
  entry = EntryFromData(data);
  return true;
}

bool CAdvertiseMultiReg::ParseEntry(int position, const std::string& entry, std::string& name,
                                    std::string& data) {
  name = ValueName(position);
  data = DataFromEntry(entry);
  return true;
}

std::string CAdvertiseMultiReg::EntryFromData(std::string data) {
  Replace(data, '~', '\t');
  return data;
}

std::string CAdvertiseMultiReg::DataFromEntry(std::string entry) {
  Replace(entry, '\t', '~');
  return entry;
}

std::string CAdvertiseMultiReg::ValueName(int position) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", position);
  return buf;
}

CDriveConnectionsMultiReg::CDriveConnectionsMultiReg()
    : CMultiRegistry(HKEY_LOCAL_MACHINE, std::string(kQuillnetKey) + "\\Drive Connections") {}

bool IsOdbcTypeAccess() {
  CQuillnetRegistry reg;
  return qn::reg::text::EqualFold(reg.ReadString("General", "ODBCType", "MSAccess"), "MSAccess");
}

bool IsOdbcTypeMsSql() {
  CQuillnetRegistry reg;
  return reg.ReadString("General", "ODBCType", "") == "MSSQL";
}
