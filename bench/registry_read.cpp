// Reading a setting from the registry store, which re-parses its file only
// when the file changed, against reading and parsing the file for every
// read. Runs in a private QN_ROOT under the temporary directory.
//
//   registry_read [reads]     (default 1000000)
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/registry.h"
#include "platform/registry_store.h"
#include "platform/registry_text.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// An installation's settings: the product sections, a service database
// and some classes, about what a configured machine holds.
void FillRegistry() {
  CQuillnetRegistry reg;
  reg.WriteString("General", "ODBCType", "MSAccess");
  reg.WriteString("General", "ODBCConnectString", "DSN=Quillnet Server;UID=sa;PWD=");
  reg.WriteDWORD("General", "Timeout", 15);
  reg.WriteDWORD("General", "NoDNSLookup", 0);
  reg.WriteDWORD("Logging", "APILog", 0);
  reg.WriteMultiString("Logging", "Logging", {"Level=1", "File=qnsvr32.log"});
  for (const char* s : {"SMTP", "Advertise", "WIP Server", "Guardian", "Manager", "Monitor"})
    for (int i = 0; i < 8; ++i) reg.WriteString(s, ("Setting" + std::to_string(i)).c_str(), "some value text");
  for (int i = 0; i < 40; ++i) {
    CRegistry svc(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Service" + std::to_string(i));
    svc.WriteString("Parameters", "ImagePath", "/usr/lib/quillnet/program --service");
    svc.WriteDWORD("Parameters", "Start", 3);
  }
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  const long reads = argc > 1 ? std::atol(argv[1]) : 1000000;
  std::string dir = (std::filesystem::temp_directory_path() / "qnbench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return 1;
  ::setenv("QN_ROOT", dir.c_str(), 1);
  FillRegistry();
  const auto file = qn::reg::Store::Default().file();
  std::printf("registry file: %ju bytes\n", static_cast<uintmax_t>(std::filesystem::file_size(file)));

  CQuillnetRegistry reg;
  unsigned long sink = 0;
  auto start = Clock::now();
  for (long i = 0; i < reads; ++i) sink += reg.ReadDWORD("General", "Timeout", 0);
  const double cached = Seconds(start);

  qn::reg::Store& store = qn::reg::Store::Default();
  qn::reg::KeyHandle general = reg.OpenSection("General");
  start = Clock::now();
  for (long i = 0; i < reads; ++i) {
    qn::reg::Value v;
    sink += store.QueryValue(general, "Timeout", v) == qn::reg::kOk ? v.data[0] : 0;
  }
  const double query = Seconds(start);

  start = Clock::now();
  for (long i = 0; i < reads; ++i) {
    qn::reg::text::Document doc;
    std::string error;
    sink += qn::reg::text::Parse(ReadFile(file), doc, error) ? doc.keys.size() : 0;
  }
  const double parsed = Seconds(start);

  std::printf("%ld reads of General\\Timeout\n", reads);
  std::printf("  CRegistry::ReadDWORD (section open + query) %8.3f s  %7.3f us/read\n", cached,
              cached * 1e6 / reads);
  std::printf("  Store::QueryValue on an open key            %8.3f s  %7.3f us/read\n", query,
              query * 1e6 / reads);
  std::printf("  read and parse the file each time           %8.3f s  %7.3f us/read\n", parsed,
              parsed * 1e6 / reads);
  std::printf("  parsing costs %.1fx ReadDWORD, %.1fx QueryValue\n", parsed / cached, parsed / query);
  std::filesystem::remove_all(dir);
  return sink == 0;
}
