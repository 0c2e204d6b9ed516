// Registry access rooted at the product key, and registry keys that hold an
// ordered list in their values.
#pragma once
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry_store.h"
#include "platform/registry_watch.h"

inline constexpr qn::reg::Hive HKEY_LOCAL_MACHINE = qn::reg::Hive::LocalMachine;
inline constexpr qn::reg::Hive HKEY_CLASSES_ROOT = qn::reg::Hive::ClassesRoot;

inline constexpr const char* kQuillnetKey = "SOFTWARE\\Brenlo\\Quillnet Server";

class CRegistry {
 public:
  CRegistry(qn::reg::Hive root, const std::string& subkey);
  virtual ~CRegistry();
  CRegistry(const CRegistry&) = delete;
  CRegistry& operator=(const CRegistry&) = delete;

  // Creates or opens the section below the object's key; a null handle on
  // failure.
  qn::reg::KeyHandle OpenSection(const std::string& section);

  // Reads create the section when it is missing and give `def` on any
  // failure. A number is a value of exactly four bytes, whatever its type;
  // longer or shorter data gives `def`.
  uint32_t ReadDWORD(const std::string& section, const std::string& name, uint32_t def);
  // The value's bytes up to the first zero (a multi-string: its first item).
  std::string ReadString(const std::string& section, const std::string& name,
                         const std::string& def);
  bool WriteDWORD(const std::string& section, const std::string& name, uint32_t number);
  // name null: deletes the whole section; value null: deletes the value.
  bool WriteString(const std::string& section, const char* name, const char* value);
  // REG_MULTI_SZ writer (logging configuration, service dependencies).
  bool WriteMultiString(const std::string& section, const std::string& name,
                        const std::vector<std::string>& items);
  bool Reopen(qn::reg::Hive root, const std::string& subkey);

  const qn::reg::KeyHandle& Key() const { return m_hKey; }

 protected:
  qn::reg::KeyHandle m_hKey;
};

class CQuillnetRegistry : public CRegistry {
 public:
  CQuillnetRegistry();
};

// The list box the configuration manager fills from a list key.
struct IListBox {
  virtual ~IListBox() = default;
  virtual void ResetContent() = 0;
  virtual void AddString(const std::string& text) = 0;
};

// The values of one key as an ordered list of text entries. Values whose
// name is longer than 199 characters or whose data is longer than 200 bytes
// are not list entries.
class CMultiRegistry {
 public:
  CMultiRegistry(qn::reg::Hive root, const std::string& subkey);
  virtual ~CMultiRegistry();
  CMultiRegistry(const CMultiRegistry&) = delete;
  CMultiRegistry& operator=(const CMultiRegistry&) = delete;

  void ReadList(std::list<std::string>& list);
  void FillListBox(IListBox& box);
  // Replaces every value of the key ("Loop" included) by the list in one
  // write: the key holds either the old values or the whole new list.
  bool SaveList(const std::list<std::string>& list);

  virtual bool FormatEntry(std::string& entry, const std::string& name, const std::string& data);
  virtual bool ParseEntry(int position, const std::string& entry, std::string& name,
                          std::string& data);

  // Whether a value fits the enumeration's buffers, so that it is a list
  // entry at all.
  static bool FitsListBuffers(const qn::reg::Value& value);

 protected:
  qn::reg::KeyHandle m_hKey;
};

class CAdvertiseMultiReg : public CMultiRegistry {
 public:
  // The key's one value that is not an advertisement (exactly this name).
  static constexpr const char* kLoopValue = "Loop";

  CAdvertiseMultiReg();
  bool FormatEntry(std::string& entry, const std::string& name, const std::string& data) override;
  bool ParseEntry(int position, const std::string& entry, std::string& name,
                  std::string& data) override;

  // An entry's stored form and back: TABs are kept as "~"; the value of the
  // entry at `position` is named "%02d".
  static std::string EntryFromData(std::string data);
  static std::string DataFromEntry(std::string entry);
  static std::string ValueName(int position);
};

class CDriveConnectionsMultiReg : public CMultiRegistry {
 public:
  CDriveConnectionsMultiReg();
};

// A registry value kept between uses while the registry watch sees no change
// to the file, and read again at the first use after one; read at every use
// while no watch runs. One thread only.
template <class T>
class CKeptSetting {
 public:
  explicit CKeptSetting(T (*read)()) : m_read(read) {}
  CKeptSetting(const CKeptSetting&) = delete;
  CKeptSetting& operator=(const CKeptSetting&) = delete;

  // The value as of now; holders keep what they got when it changes later.
  std::shared_ptr<const T> Get() {
    if (!qn::reg::IsWatching()) return std::make_shared<const T>(m_read());
    const uint64_t changes = qn::reg::ChangesSeen();
    if (!m_value || changes != m_nChanges) {
      m_value = std::make_shared<const T>(m_read());
      m_nChanges = changes;
    }
    return m_value;
  }

 private:
  T (*m_read)();
  std::shared_ptr<const T> m_value;
  uint64_t m_nChanges = 0;
};

// The storage mode as the server's data layer reads it: "ODBCType" under
// "General" equal to "MSAccess" without regard to case (or missing) means the
// per-area database files; anything else means one database.
bool IsOdbcTypeAccess();
// The install run's test for the database service dependency: "ODBCType" is
// exactly "MSSQL".
bool IsOdbcTypeMsSql();
