#include "tools/dbsetup/core/change_journal.h"

#include <strings.h>

namespace qn::dbsetup {

const char* const kSideFileSuffixes[3] = {"-wal", "-shm", "-journal"};

std::string DataSourceOfAttributes(const std::string& attributes) {
  size_t start = 0;
  while (start < attributes.size() && attributes[start] != '\0') {
    const size_t end = attributes.find('\0', start);
    const std::string item = attributes.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (item.size() >= 4 && strncasecmp(item.c_str(), "DSN=", 4) == 0) return item.substr(4);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return {};
}

std::string ChangeJournal::FreeName(const std::string& path, const char* mark) {
  for (;;) {
    std::string name = path + "." + mark + std::to_string(++counter_);
    if (!files_.Exists(name)) return name;
  }
}

void ChangeJournal::SetAside(const std::string& path) {
  const std::string aside = FreeName(path, "QNB");
  files_.Rename(path, aside, true);
  setAside_.push_back(aside);
  undo_.push_back([this, path, aside] { files_.Rename(aside, path, false); });
}

void ChangeJournal::CopyFile(const std::string& from, const std::string& to) {
  const std::string temporary = FreeName(to, "QNS");
  try {
    files_.Copy(from, temporary);
  } catch (...) {
    try {
      if (files_.Exists(temporary)) files_.Remove(temporary);
    } catch (...) {
    }
    throw;
  }
  try {
    if (files_.Exists(to)) SetAside(to);
    files_.Rename(temporary, to, true);
  } catch (...) {
    try {
      files_.Remove(temporary);
    } catch (...) {
    }
    throw;
  }
  undo_.push_back([this, to] { files_.Remove(to); });
}

void ChangeJournal::MoveFile(const std::string& from, const std::string& to) {
  if (files_.Exists(to)) SetAside(to);
  files_.Rename(from, to, true);
  undo_.push_back([this, from, to] { files_.Rename(to, from, true); });
}

void ChangeJournal::MoveDatabase(const std::string& from, const std::string& to) {
  for (const char* suffix : kSideFileSuffixes)
    if (files_.Exists(to + suffix)) SetAside(to + suffix);
  MoveFile(from, to);
  for (const char* suffix : kSideFileSuffixes)
    if (files_.Exists(from + suffix)) MoveFile(from + suffix, to + suffix);
}

void ChangeJournal::RemoveDatabase(const std::string& path) {
  if (files_.Exists(path)) SetAside(path);
  for (const char* suffix : kSideFileSuffixes)
    if (files_.Exists(path + suffix)) SetAside(path + suffix);
}

bool ChangeJournal::ConfigDataSource(int request, const std::string& driver,
                                     const std::string& attributes) {
  DataSourceState before = odbc_.SaveDataSource(DataSourceOfAttributes(attributes));
  undo_.push_back([this, before] { odbc_.RestoreDataSource(before); });
  return odbc_.ConfigDataSource(request, driver, attributes);
}

void ChangeJournal::WriteRegistry(const std::string& section, const std::string& name,
                                  const std::string& value, bool secret) {
  std::optional<std::string> before = settings_.ReadRegistry(section, name);
  undo_.push_back([this, section, name, before, secret] {
    settings_.WriteRegistry(section, name, before, secret);
  });
  settings_.WriteRegistry(section, name, value, secret);
}

void ChangeJournal::WriteProfile(const std::string& file, const std::string& section,
                                 const std::string& key, const std::string& value, bool secret) {
  if (!files_.Exists(file)) {
    undo_.push_back([this, file] {
      if (files_.Exists(file)) files_.Remove(file);
    });
  }
  std::optional<std::string> before = settings_.ReadProfile(file, section, key);
  undo_.push_back([this, file, section, key, before, secret] {
    settings_.WriteProfile(file, section, key, before, secret);
  });
  settings_.WriteProfile(file, section, key, value, secret);
}

void ChangeJournal::Commit() {
  for (const std::string& aside : setAside_) {
    try {
      files_.Remove(aside);
    } catch (...) {
      // A leftover copy under its own name harms nothing.
    }
  }
  setAside_.clear();
  undo_.clear();
}

void ChangeJournal::Undo() {
  while (!undo_.empty()) {
    auto step = std::move(undo_.back());
    undo_.pop_back();
    try {
      step();
    } catch (...) {
      // The other steps still put back what they can.
    }
  }
  setAside_.clear();
}

}  // namespace qn::dbsetup
