// qnauto: drives one automation object from standard input, for tests and
// scripts.
//
//   qnauto [-t SECONDS] CLASS
//
// Creates one object of CLASS (a ProgID or "{CLSID}"), then makes one call
// per line of standard input (see platform/automation/call_script.h) and
// prints one line per call. Calls the object makes on "sink" print as event
// lines, also while no call is out. A failed creation prints its error line
// and ends with 2; the end of input releases the object and ends with 0.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/automation/call_script.h"
#include "platform/automation/runtime.h"

namespace automation = qn::automation;
namespace script = qn::automation::script;
using automation::Status;
using automation::Variant;

namespace {

void Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The object handed out as "sink": prints every call it gets.
class Sink : public automation::IDispatch {
 public:
  Status GetIDOfName(const std::string&, automation::DispId*) override {
    return automation::kUnknownName;
  }
  Status Invoke(automation::DispId id, uint16_t, std::vector<Variant>& args, Variant*,
                automation::ExcepInfo*) override {
    Print(script::EventLine(id, args));
    return automation::kOk;
  }
};

void RunLine(automation::IDispatch* object, automation::IDispatch* sink, const std::string& line) {
  script::CallLine call;
  if (!script::ParseCall(line, &call)) {
    Print(script::ErrorLine(automation::kInvalidArg));
    return;
  }
  automation::DispId id = call.id;
  if (!call.name.empty()) {
    const Status s = object->GetIDOfName(call.name, &id);
    if (s != automation::kOk) {
      Print(script::ErrorLine(s));
      return;
    }
  }
  // Storage first, so that references into it stay put.
  std::vector<Variant> storage(call.args.size());
  std::vector<Variant> args(call.args.size());
  for (size_t i = 0; i < call.args.size(); ++i) {
    script::Argument& a = call.args[i];
    if (a.kind == script::Argument::kSink) {
      args[i] = Variant::Dispatch(automation::Ref<automation::IDispatch>(sink));
    } else if (a.kind == script::Argument::kByRef) {
      storage[i] = a.value;
      args[i] = Variant::ByRef(&storage[i]);
    } else {
      args[i] = a.value;
    }
  }
  Variant result;
  automation::ExcepInfo exception;
  const Status s = object->Invoke(id, automation::DISPATCH_METHOD | automation::DISPATCH_PROPERTYGET,
                                  args, &result, &exception);
  if (s != automation::kOk) {
    Print(script::ErrorLine(s, &exception));
    return;
  }
  std::vector<Variant> byRef;
  for (size_t i = 0; i < call.args.size(); ++i)
    if (call.args[i].kind == script::Argument::kByRef) byRef.push_back(storage[i]);
  Print(script::OkLine(result, byRef));
}

int Usage() {
  std::fprintf(stderr, "usage: qnauto [-t SECONDS] CLASS\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int timeoutMs = automation::kDefaultCallTimeoutMs;
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "-t") == 0) {
    char* end = nullptr;
    const long seconds = std::strtol(argv[i + 1], &end, 10);
    if (end == argv[i + 1] || *end != '\0' || seconds <= 0 || seconds > 86400) return Usage();
    timeoutMs = static_cast<int>(seconds * 1000);
    i += 2;
  }
  if (i + 1 != argc) return Usage();

  automation::Ref<automation::IDispatch> object;
  const Status created = automation::CreateObject(argv[i], &object, timeoutMs);
  if (created != automation::kOk) {
    Print(script::ErrorLine(created));
    return 2;
  }
  auto sink = automation::MakeRef<Sink>();

  std::string pending;
  char buf[4096];
  for (;;) {
    bool ready = false;
    automation::Pump([] { return false; }, automation::Clock::time_point::max(), STDIN_FILENO, &ready);
    if (!ready) continue;
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) RunLine(object.get(), sink.get(), line);
    }
  }
  if (!pending.empty()) RunLine(object.get(), sink.get(), pending);
  object.reset();
  automation::ShutdownRuntime();
  return 0;
}
