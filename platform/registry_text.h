// The registry file's text form (the registry export format) to and from its
// parsed form. Pure: no file access here, the store does the I/O.
//
// What is read:
//   - a first line "REGEDIT4" or "Windows Registry Editor Version 5.00"
//     (a UTF-8 byte-order mark before it is allowed);
//   - key lines [HKEY_LOCAL_MACHINE\...]; [HKEY_CLASSES_ROOT\...] is read as
//     HKEY_LOCAL_MACHINE\SOFTWARE\Classes\...; other hives are kept but not
//     served;
//   - value lines "Name"=... or @=... with "text" (escapes \\ and \"),
//     dword:XXXXXXXX, hex:..., hex(N):... and lines continued by a trailing
//     backslash;
//   - comment lines (";") and lines not understood are kept with the item
//     that follows them, so a rewrite loses nothing an operator wrote.
// Under the "Version 5.00" header, hex(2) and hex(7) data is UTF-16LE, as
// that format writes it, and is turned into UTF-8; the file is always written
// back as REGEDIT4 with UTF-8 data.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry_store.h"

namespace qn::reg::text {

struct Entry {
  Value value;
  std::string lead;  // lines written before the value line, each ending in '\n'
};

struct Key {
  // Below HKEY_LOCAL_MACHINE, as written ("" for the hive itself); for a
  // foreign key, the whole text between the brackets.
  std::string path;
  bool foreign = false;
  std::string lead;
  std::vector<Entry> values;  // file order; names unique without regard to case
};

struct Document {
  std::vector<Key> keys;  // file order; each served path once
  std::string tail;       // lines after the last item

  // Position of the key with this path (any case); npos when it is not
  // written as a key of its own.
  size_t Find(std::string_view path) const;
  // Must follow every change to `keys`.
  void Reindex();

 private:
  std::unordered_map<std::string, size_t> index_;
};

// ASCII lower case: how key paths and value names compare.
std::string Fold(std::string_view s);
bool EqualFold(std::string_view a, std::string_view b);

// False with a reason for a text that is not in the export format (no
// header); lines not understood inside a valid file are kept, not refused.
bool Parse(std::string_view text, Document& doc, std::string& error);
std::string Format(const Document& doc);

}  // namespace qn::reg::text
