// The external service servers listed under the "Services" key: one entry per
// value that started (its automation object created and introduced to the
// server through "QuillnetInit"), in the key's order, for the life of the
// server.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "server/services/service_driver.h"

inline constexpr const char* kServicesSection = "Services";

// A name looked up on an entry's objects: not yet, known with its ID, or
// known to be missing.
struct CNameLookup {
  bool done = false;
  std::optional<qn::automation::DispId> id;
};

struct CServiceEntry {
  // Item names remembered per entry; past this many, a name is looked up on
  // every request (client text cannot grow the map without end).
  static constexpr size_t kMaxRememberedItems = 256;

  std::string name;  // as registered
  std::string classText;
  CServiceDriver driver;
  // By item name as the client sent it.
  std::map<std::string, CNameLookup> items;
  CNameLookup userProperty;
  CNameLookup requestProperty;
  int32_t initResult = 0;

  // The remembered look-up of an item, or null.
  const CNameLookup* FindItem(const std::string& item) const;
  void RememberItem(const std::string& item, std::optional<qn::automation::DispId> id);
};

// Creates and introduces every listed server; an entry whose class cannot be
// created or whose "QuillnetInit" fails is left out (and named on standard
// error). Waits, serving the main loop, until each has answered or its time
// is up.
void StartExternalServices();
// Releases every entry's object; no method is called on it.
void StopExternalServices();
// The entry whose name equals `service` without regard to case; null when
// none.
CServiceEntry* FindExternalService(const std::string& service);
// "AutomationTimeout" under "General" in milliseconds, as read at start.
int ExternalCallTimeoutMs();
