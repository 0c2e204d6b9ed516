// The test plug-in (build/bin/qntestsvc and libqntestsvc.so) as external
// services of an installation: its classes in the registry store and the
// "Services" entries that name them, with a few entries that cannot start.
#pragma once
#include <string>

#include "support/server_process.h"

namespace qn::test {

inline constexpr const char* kTestLocalProgId = "QuillnetTest.Local";
inline constexpr const char* kTestInprocProgId = "QuillnetTest.InProc";
inline constexpr const char* kTestBadInitProgId = "QuillnetTest.BadInit";
inline constexpr const char* kTestLocalClsid = "{5A3E8C41-7B2D-4E19-9F06-3C1D2B4A5E71}";
inline constexpr const char* kTestInprocClsid = "{5A3E8C42-7B2D-4E19-9F06-3C1D2B4A5E71}";
inline constexpr const char* kTestBadInitClsid = "{5A3E8C43-7B2D-4E19-9F06-3C1D2B4A5E71}";
// A class whose local server ends at once.
inline constexpr const char* kTestFailingProgId = "QuillnetTest.Failing";
inline constexpr const char* kTestFailingClsid = "{5A3E8C44-7B2D-4E19-9F06-3C1D2B4A5E71}";

// Service names of the entries.
inline constexpr const char* kLocalService = "QuillnetTest";
inline constexpr const char* kInprocService = "QuillnetInProc";
inline constexpr const char* kBadInitService = "BadInit";
inline constexpr const char* kNoClassService = "NoClass";
inline constexpr const char* kFailingService = "Failing";

// Runs `qntestsvc -RegServer` on $QN_ROOT's registry, registers the failing
// class, and writes the "Services" entries (the bad ones between the good
// ones); false when a step failed.
bool InstallTestPlugin();

// The same as registry sections, for fixtures that write the whole file.
void AddTestPluginSections(RegistrySections& sections);

}  // namespace qn::test
