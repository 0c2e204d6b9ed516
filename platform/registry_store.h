// The registry stand-in: one text file in the registry export format
// ($QN_ROOT/etc/quillnet/registry.reg) shared by every program.
//
// Key paths and value names compare without regard to case and keep the case
// they were written in. HKEY_CLASSES_ROOT is the same keys as
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes. Every write takes the file lock and
// renames a complete temporary file into place; reads use a parsed copy that
// is refreshed only when the file changed (inode, size, modification time).
// Every member is safe to call from several threads.
//
// Status values are the Win32 error numbers the callers branch on.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qn::reg {

using Status = long;
inline constexpr Status kOk = 0;
inline constexpr Status kFileNotFound = 2;
inline constexpr Status kAccessDenied = 5;
inline constexpr Status kInvalidHandle = 6;
inline constexpr Status kInvalidParameter = 87;
inline constexpr Status kBadPathname = 161;
inline constexpr Status kMoreData = 234;
inline constexpr Status kNoMoreItems = 259;
// The file is not in the export format: it reads as empty and is never
// overwritten, so an operator's mistyped file is not lost.
inline constexpr Status kBadDb = 1009;

enum ValueType : uint32_t {
  kNone = 0,
  kString = 1,        // REG_SZ
  kExpandString = 2,  // REG_EXPAND_SZ
  kBinary = 3,        // REG_BINARY
  kDword = 4,         // REG_DWORD
  kMultiString = 7,   // REG_MULTI_SZ
};

// A value as the registry holds it: string types keep their bytes with the
// terminating zero(s), as Win32 returns them.
struct Value {
  std::string name;
  uint32_t type = kNone;
  std::vector<uint8_t> data;
};

Value MakeString(std::string_view name, std::string_view text);
Value MakeExpandString(std::string_view name, std::string_view text);
Value MakeDword(std::string_view name, uint32_t number);
Value MakeMultiString(std::string_view name, const std::vector<std::string>& items);
Value MakeBinary(std::string_view name, std::vector<uint8_t> bytes);
// Text of a string value without its terminating zero.
std::string AsString(const Value& v);
std::vector<std::string> AsMultiString(const Value& v);

enum class Hive { LocalMachine, ClassesRoot };

// An open key. A default-constructed handle is null (no key).
class KeyHandle {
 public:
  KeyHandle() = default;
  static KeyHandle Root(Hive hive);
  explicit operator bool() const { return open_; }
  Hive hive() const { return hive_; }
  // Path below the hive, backslash-separated, no leading backslash.
  const std::string& path() const { return path_; }

 private:
  friend class Store;
  Hive hive_ = Hive::LocalMachine;
  std::string path_;
  bool open_ = false;
};

// One key's part of a several-key write (Store::WriteKeys).
struct KeyWrite {
  KeyHandle parent;
  std::string subkey;  // below `parent`; the key is created when missing
  // Set in this order: an existing value (any case) is changed where it
  // stands, a new one is added at the end.
  std::vector<Value> values;
  // The key's other values go, but those named in `keep` (any case).
  bool replace = false;
  std::vector<std::string> keep;
};

// The store behind the handles: the file under $QN_ROOT of the moment, or an
// explicit file for tests.
class Store {
 public:
  explicit Store(std::filesystem::path file);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  // The store of $QN_ROOT/etc/quillnet/registry.reg (re-evaluated when
  // QN_ROOT changes, so tests can switch roots).
  static Store& Default();
  const std::filesystem::path& file() const;

  // Subkey paths are backslash-separated; trailing backslashes are ignored, a
  // leading one or an empty part gives kBadPathname. A missing file is an
  // empty registry; one closed to this account gives kAccessDenied. Keys are created with their missing parents; SetValue
  // and ReplaceValues create their key too. A write that changes nothing
  // leaves the file alone. Handles are paths: a key deleted by another
  // program reads as missing (kFileNotFound).
  Status OpenKey(const KeyHandle& parent, std::string_view subkey, KeyHandle& out);
  Status CreateKey(const KeyHandle& parent, std::string_view subkey, KeyHandle& out);
  // Deletes the subkey and everything below it.
  Status DeleteKey(const KeyHandle& parent, std::string_view subkey);
  Status QueryValue(const KeyHandle& key, std::string_view name, Value& out);
  Status SetValue(const KeyHandle& key, const Value& value);
  Status DeleteValue(const KeyHandle& key, std::string_view name);
  // Values and subkeys in file order; kNoMoreItems past the end.
  Status EnumValue(const KeyHandle& key, uint32_t index, Value& out);
  Status EnumKey(const KeyHandle& key, uint32_t index, std::string& name);
  // Every value of the key in file order, from one reading of the file.
  Status QueryValues(const KeyHandle& key, std::vector<Value>& out);
  // Replaces every value of the key by `values` in one locked write: the key
  // holds either the old values or the whole new set.
  Status ReplaceValues(const KeyHandle& key, const std::vector<Value>& values);
  // Several keys in one locked write: a reader sees all of the writes or
  // none, and values of these keys that the writes do not name stay as the
  // file holds them at the time of the write, whoever wrote them.
  Status WriteKeys(const std::vector<KeyWrite>& writes);

  struct Impl;

 private:
  static KeyHandle MakeHandle(Hive hive, const std::string& path_below_machine);
  Impl* impl_;
};

}  // namespace qn::reg
