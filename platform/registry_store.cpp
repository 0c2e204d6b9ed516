#include "platform/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/paths.h"
#include "platform/registry_text.h"

namespace qn::reg {

namespace fs = std::filesystem;
using text::Document;
using text::EqualFold;
using text::Fold;

constexpr size_t npos = std::string::npos;
constexpr std::string_view kClassesPath = "SOFTWARE\\Classes";
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;

Value MakeString(std::string_view name, std::string_view text) {
  Value v{std::string(name), kString, {}};
  v.data.assign(text.begin(), text.end());
  v.data.push_back(0);
  return v;
}

Value MakeExpandString(std::string_view name, std::string_view text) {
  Value v = MakeString(name, text);
  v.type = kExpandString;
  return v;
}

Value MakeDword(std::string_view name, uint32_t number) {
  return Value{std::string(name), kDword,
               {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)}};
}

Value MakeMultiString(std::string_view name, const std::vector<std::string>& items) {
  Value v{std::string(name), kMultiString, {}};
  for (const auto& item : items) {
    v.data.insert(v.data.end(), item.begin(), item.end());
    v.data.push_back(0);
  }
  v.data.push_back(0);
  return v;
}

Value MakeBinary(std::string_view name, std::vector<uint8_t> bytes) {
  return Value{std::string(name), kBinary, std::move(bytes)};
}

std::string AsString(const Value& v) {
  std::string s(v.data.begin(), v.data.end());
  size_t zero = s.find('\0');
  if (zero != npos) s.resize(zero);
  return s;
}

std::vector<std::string> AsMultiString(const Value& v) {
  std::vector<std::string> items;
  std::string current;
  for (uint8_t c : v.data) {
    if (c != 0) {
      current += static_cast<char>(c);
      continue;
    }
    if (current.empty()) break;  // the empty string ends the list
    items.push_back(std::move(current));
    current.clear();
  }
  if (!current.empty()) items.push_back(std::move(current));
  return items;
}

KeyHandle KeyHandle::Root(Hive hive) {
  KeyHandle k;
  k.hive_ = hive;
  k.open_ = true;
  return k;
}

namespace {

// What identifies one version of the file. Writers always rename a new file
// into place, and the store keeps the file it parsed open, so that inode
// number cannot be reused by a later file: a new inode means a new file even
// when two writes fall within one tick of the modification time. Size and
// times catch edits made in place by a text editor.
struct FileId {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  mode_t mode = 0;
  timespec mtime{};
  timespec ctime{};

  static FileId Of(const struct stat& st) {
    FileId id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mode = st.st_mode;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    return id;
  }
  bool Same(const struct stat& st) const {
    return exists && dev == st.st_dev && ino == st.st_ino && size == st.st_size &&
           mtime.tv_sec == st.st_mtim.tv_sec && mtime.tv_nsec == st.st_mtim.tv_nsec &&
           ctime.tv_sec == st.st_ctim.tv_sec && ctime.tv_nsec == st.st_ctim.tv_nsec;
  }
};

bool WriteAll(int fd, const std::string& body) {
  size_t done = 0;
  while (done < body.size()) {
    ssize_t n = ::write(fd, body.data() + done, body.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, std::string& out) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<size_t>(n));
  }
}

// The key path below HKEY_LOCAL_MACHINE of `handle` joined with `subkey`.
Status Join(const KeyHandle& handle, std::string_view subkey, std::string& full) {
  if (!handle) return kInvalidHandle;
  while (!subkey.empty() && subkey.back() == '\\') subkey.remove_suffix(1);
  if (!subkey.empty() && subkey.front() == '\\') return kBadPathname;
  for (size_t start = 0; start <= subkey.size() && !subkey.empty();) {
    size_t end = subkey.find('\\', start);
    if (end == npos) end = subkey.size();
    std::string_view part = subkey.substr(start, end - start);
    if (part.empty()) return kBadPathname;
    if (part.size() > kMaxKeyName || part.find_first_of("\r\n") != npos) return kInvalidParameter;
    start = end + 1;
  }
  full = handle.hive() == Hive::ClassesRoot ? std::string(kClassesPath) : std::string();
  if (!handle.path().empty()) {
    if (!full.empty()) full += '\\';
    full += handle.path();
  }
  if (!subkey.empty()) {
    if (!full.empty()) full += '\\';
    full += subkey;
  }
  return kOk;
}

bool ValidValueName(std::string_view name) {
  return name.size() <= kMaxValueName && name.find_first_of("\r\n") == npos;
}

bool IsHiveRoot(const KeyHandle& handle, std::string_view full) {
  return full.empty() || (handle.hive() == Hive::ClassesRoot && EqualFold(full, kClassesPath));
}

// A key exists when it is written, or when a key below it is (a file written
// by hand need not list every parent).
bool Exists(const Document& doc, std::string_view full) {
  if (full.empty() || doc.Find(full) != npos) return true;
  const std::string prefix = Fold(full) + '\\';
  for (const auto& key : doc.keys)
    if (!key.foreign && Fold(key.path).starts_with(prefix)) return true;
  return false;
}

// `full` spelled as the file already spells its existing parts.
std::string Spelled(const Document& doc, std::string_view full) {
  if (size_t i = doc.Find(full); i != npos) return doc.keys[i].path;
  std::string out;
  for (size_t start = 0; start < full.size();) {
    size_t end = full.find('\\', start);
    if (end == npos) end = full.size();
    std::string candidate = out.empty() ? std::string() : out + '\\';
    candidate.append(full.substr(start, end - start));
    if (size_t i = doc.Find(candidate); i != npos) {
      candidate = doc.keys[i].path;
    } else {
      const std::string prefix = Fold(candidate) + '\\';
      for (const auto& key : doc.keys) {
        if (!key.foreign && Fold(key.path).starts_with(prefix)) {
          candidate = key.path.substr(0, candidate.size());
          break;
        }
      }
    }
    out = std::move(candidate);
    start = end + 1;
  }
  return out;
}

// Writes every missing key on the way to `full`; true when one was added.
bool EnsureKey(Document& doc, std::string_view full, size_t& position) {
  const std::string spelled = Spelled(doc, full);
  bool added = false;
  for (size_t end = 0; end != npos;) {
    end = spelled.find('\\', end + 1);
    std::string part = spelled.substr(0, end);
    if (doc.Find(part) == npos) {
      doc.keys.push_back(text::Key{part, false, {}, {}});
      doc.Reindex();
      added = true;
    }
  }
  position = doc.Find(spelled);
  return added;
}

bool SameValue(const Value& a, const Value& b) { return a.type == b.type && a.data == b.data; }

}  // namespace

struct Store::Impl {
  std::mutex mu;
  fs::path file;
  fs::path lock_file;
  fs::path temp_file;
  Document doc;
  bool loaded = false;
  bool corrupt = false;
  // The file (or its directory) is there but closed to this account.
  bool denied = false;
  FileId id;
  int held_fd = -1;  // the parsed file, kept open so its inode stays taken

  ~Impl() {
    if (held_fd >= 0) ::close(held_fd);
  }

  void Hold(int fd) {
    if (held_fd >= 0) ::close(held_fd);
    held_fd = fd;
  }

  // Brings `doc` up to the file on disk; called with `mu` held.
  void Refresh() {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0) {
      const bool closed = errno == EACCES || errno == EPERM;
      if (loaded && !id.exists && denied == closed) return;
      doc = Document();
      corrupt = false;
      denied = closed;
      id = FileId();
      Hold(-1);
      loaded = true;
      return;
    }
    if (loaded && id.Same(st)) return;
    loaded = true;
    doc = Document();
    corrupt = false;
    denied = false;
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    std::string body;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !ReadAll(fd, body)) {
      // Unreadable: serve nothing and write nothing until it changes.
      denied = fd < 0 && (errno == EACCES || errno == EPERM);
      if (fd >= 0) ::close(fd);
      id = FileId::Of(st);
      corrupt = true;
      Hold(-1);
      std::fprintf(stderr, "registry file %s cannot be read\n", file.c_str());
      return;
    }
    id = FileId::Of(st);
    Hold(fd);
    std::string error;
    if (!text::Parse(body, doc, error)) {
      doc = Document();
      corrupt = true;
      std::fprintf(stderr, "registry file %s: %s; it is read as empty and not written\n",
                   file.c_str(), error.c_str());
    }
  }

  // Writes `next` to the temporary file and renames it into place; called
  // with `mu` and the file lock held.
  Status Write(Document&& next) {
    const std::string body = text::Format(next);
    // The registry holds secrets (the database login): its owner's only. A
    // file of an earlier version keeps its mode but for others' access.
    int fd = ::open(temp_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return kAccessDenied;
    ::fchmod(fd, id.exists ? id.mode & 07770 : 0600);
    struct stat st;
    if (!WriteAll(fd, body) || ::fsync(fd) != 0 || ::rename(temp_file.c_str(), file.c_str()) != 0 ||
        ::fstat(fd, &st) != 0) {
      ::close(fd);
      ::unlink(temp_file.c_str());
      return kAccessDenied;
    }
    doc = std::move(next);
    id = FileId::Of(st);
    Hold(fd);
    return kOk;
  }

  // One locked read-change-write. `change(doc, changed)` works on a copy, so
  // a failed write leaves the parsed copy as the file is.
  template <class F>
  Status Mutate(F&& change) {
    std::lock_guard guard(mu);
    if (!paths::EnsureDir(file.parent_path())) return kAccessDenied;
    int lock = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0) return kAccessDenied;
    while (::flock(lock, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(lock);
        return kAccessDenied;
      }
    }
    Refresh();
    // A file that cannot be read is never written: its owner's choice, or
    // not in the format.
    Status status = denied ? kAccessDenied : kBadDb;
    if (!corrupt) {
      Document next = doc;
      bool changed = false;
      status = change(next, changed);
      if (status == kOk && changed) status = Write(std::move(next));
    }
    ::close(lock);  // releases the lock
    return status;
  }

  template <class F>
  Status Read(F&& read) {
    std::lock_guard guard(mu);
    Refresh();
    if (denied) return kAccessDenied;
    return read(static_cast<const Document&>(doc));
  }
};

KeyHandle Store::MakeHandle(Hive hive, const std::string& spelled) {
  KeyHandle k = KeyHandle::Root(hive);
  k.path_ = spelled;
  if (hive == Hive::ClassesRoot)
    k.path_ = spelled.size() > kClassesPath.size() ? spelled.substr(kClassesPath.size() + 1) : "";
  return k;
}

Store::Store(fs::path file) : impl_(new Impl) {
  impl_->file = std::move(file);
  impl_->lock_file = impl_->file;
  impl_->lock_file += ".lock";
  impl_->temp_file = impl_->file;
  impl_->temp_file += ".tmp";
}

Store::~Store() { delete impl_; }

Store& Store::Default() {
  static std::mutex mu;
  // Never freed: programs may reach the registry from static destructors.
  static auto* stores = new std::unordered_map<std::string, Store*>();
  static std::string last_root;
  static Store* last = nullptr;
  const char* env = std::getenv("QN_ROOT");
  const std::string_view root = env ? env : "";
  std::lock_guard guard(mu);
  // Settings are read on hot paths: the root rarely changes, so compare it
  // before building any path.
  if (last != nullptr && root == last_root) return *last;
  const fs::path file = paths::ConfigDir() / "registry.reg";
  Store*& store = (*stores)[file.string()];
  if (store == nullptr) store = new Store(file);
  last_root = root;
  last = store;
  return *store;
}

const fs::path& Store::file() const { return impl_->file; }

Status Store::OpenKey(const KeyHandle& parent, std::string_view subkey, KeyHandle& out) {
  std::string full;
  if (Status s = Join(parent, subkey, full); s != kOk) return s;
  return impl_->Read([&](const Document& doc) {
    if (!Exists(doc, full) && !IsHiveRoot(parent, full)) return kFileNotFound;
    out = MakeHandle(parent.hive(), Spelled(doc, full));
    return kOk;
  });
}

Status Store::CreateKey(const KeyHandle& parent, std::string_view subkey, KeyHandle& out) {
  std::string full;
  if (Status s = Join(parent, subkey, full); s != kOk) return s;
  // Sections are created on every read; only a missing key costs a write.
  if (OpenKey(parent, subkey, out) == kOk) return kOk;
  std::string spelled;
  Status s = impl_->Mutate([&](Document& doc, bool& changed) {
    size_t position;
    changed = EnsureKey(doc, full, position);
    spelled = doc.keys[position].path;
    return kOk;
  });
  if (s == kOk) out = MakeHandle(parent.hive(), spelled);
  return s;
}

Status Store::DeleteKey(const KeyHandle& parent, std::string_view subkey) {
  std::string full;
  if (Status s = Join(parent, subkey, full); s != kOk) return s;
  if (IsHiveRoot(parent, full)) return kAccessDenied;
  const std::string folded = Fold(full);
  const std::string below = folded + '\\';
  return impl_->Mutate([&](Document& doc, bool& changed) {
    std::erase_if(doc.keys, [&](const text::Key& key) {
      if (key.foreign) return false;
      const std::string f = Fold(key.path);
      const bool gone = f == folded || f.starts_with(below);
      changed = changed || gone;
      return gone;
    });
    doc.Reindex();
    return changed ? kOk : kFileNotFound;
  });
}

Status Store::QueryValue(const KeyHandle& key, std::string_view name, Value& out) {
  std::string full;
  if (Status s = Join(key, {}, full); s != kOk) return s;
  return impl_->Read([&](const Document& doc) {
    size_t i = doc.Find(full);
    if (i == npos) return kFileNotFound;
    for (const auto& e : doc.keys[i].values) {
      if (EqualFold(e.value.name, name)) {
        out = e.value;
        return kOk;
      }
    }
    return kFileNotFound;
  });
}

Status Store::SetValue(const KeyHandle& key, const Value& value) {
  return WriteKeys({KeyWrite{key, {}, {value}, false, {}}});
}

Status Store::DeleteValue(const KeyHandle& key, std::string_view name) {
  std::string full;
  if (Status s = Join(key, {}, full); s != kOk) return s;
  return impl_->Mutate([&](Document& doc, bool& changed) {
    size_t i = doc.Find(full);
    if (i == npos) return kFileNotFound;
    changed = std::erase_if(doc.keys[i].values,
                            [&](const text::Entry& e) { return EqualFold(e.value.name, name); }) > 0;
    return changed ? kOk : kFileNotFound;
  });
}

Status Store::EnumValue(const KeyHandle& key, uint32_t index, Value& out) {
  std::string full;
  if (Status s = Join(key, {}, full); s != kOk) return s;
  return impl_->Read([&](const Document& doc) {
    size_t i = doc.Find(full);
    if (i == npos) return Exists(doc, full) || IsHiveRoot(key, full) ? kNoMoreItems : kFileNotFound;
    const auto& values = doc.keys[i].values;
    if (index >= values.size()) return kNoMoreItems;
    out = values[index].value;
    return kOk;
  });
}

Status Store::EnumKey(const KeyHandle& key, uint32_t index, std::string& name) {
  std::string full;
  if (Status s = Join(key, {}, full); s != kOk) return s;
  return impl_->Read([&](const Document& doc) {
    if (!Exists(doc, full) && !IsHiveRoot(key, full)) return kFileNotFound;
    const std::string prefix = full.empty() ? std::string() : Fold(full) + '\\';
    std::unordered_set<std::string> seen;
    uint32_t n = 0;
    for (const auto& k : doc.keys) {
      if (k.foreign || k.path.size() <= prefix.size() || !Fold(k.path).starts_with(prefix)) continue;
      std::string child = k.path.substr(prefix.size());
      child = child.substr(0, child.find('\\'));
      if (!seen.insert(Fold(child)).second) continue;
      if (n++ == index) {
        name = std::move(child);
        return kOk;
      }
    }
    return kNoMoreItems;
  });
}

Status Store::QueryValues(const KeyHandle& key, std::vector<Value>& out) {
  std::string full;
  if (Status s = Join(key, {}, full); s != kOk) return s;
  return impl_->Read([&](const Document& doc) {
    out.clear();
    size_t i = doc.Find(full);
    if (i == npos) return Exists(doc, full) || IsHiveRoot(key, full) ? kOk : kFileNotFound;
    for (const auto& e : doc.keys[i].values) out.push_back(e.value);
    return kOk;
  });
}

Status Store::ReplaceValues(const KeyHandle& key, const std::vector<Value>& values) {
  return WriteKeys({KeyWrite{key, {}, values, true, {}}});
}

Status Store::WriteKeys(const std::vector<KeyWrite>& writes) {
  std::vector<std::string> paths;
  for (const auto& w : writes) {
    std::string full;
    if (Status s = Join(w.parent, w.subkey, full); s != kOk) return s;
    for (const auto& v : w.values)
      if (!ValidValueName(v.name)) return kInvalidParameter;
    paths.push_back(std::move(full));
  }
  return impl_->Mutate([&](Document& doc, bool& changed) {
    for (size_t i = 0; i < writes.size(); ++i) {
      const KeyWrite& w = writes[i];
      size_t position;
      changed = EnsureKey(doc, paths[i], position) || changed;
      auto& old = doc.keys[position].values;
      std::vector<text::Entry> next;
      if (w.replace) {
        for (const auto& e : old) {
          auto kept = [&](const std::string& name) { return EqualFold(name, e.value.name); };
          if (std::any_of(w.keep.begin(), w.keep.end(), kept)) next.push_back(e);
        }
      } else {
        next = old;
      }
      for (const auto& v : w.values) {
        auto same = std::find_if(next.begin(), next.end(),
                                 [&](const text::Entry& e) { return EqualFold(e.value.name, v.name); });
        if (same == next.end()) {
          next.push_back(text::Entry{v, {}});
        } else {  // kept where it stands, as written; a name given twice: the later one wins
          same->value.type = v.type;
          same->value.data = v.data;
        }
      }
      bool equal = old.size() == next.size();
      for (size_t j = 0; equal && j < old.size(); ++j)
        equal = old[j].value.name == next[j].value.name && SameValue(old[j].value, next[j].value);
      if (!equal) {
        old = std::move(next);
        changed = true;
      }
    }
    return kOk;
  });
}

}  // namespace qn::reg
