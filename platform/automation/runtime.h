// The process's automation runtime: creating objects by ProgID or CLSID
// (in-process libraries, local servers reached over a Unix-domain socket and
// started on demand), registering the class objects a local server offers,
// and the proxies through which objects of another process are called.
//
// One thread uses the runtime. By default calls to other processes block
// that thread, which meanwhile serves the calls made back to it (sinks,
// callbacks). After UseEventLoop the runtime runs on that loop instead: calls
// out are asynchronous only, and nothing waits.
#pragma once
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/automation/dispatch.h"
#include "platform/automation/reactor.h"

namespace asio {
class io_context;
}

namespace qn::automation {

inline constexpr int kDefaultCallTimeoutMs = 30000;
// Output a peer has not read, past which that peer is dropped with all it held.
inline constexpr size_t kDefaultOutputLimit = size_t{1} << 20;

// Runs the runtime on `loop` from here on; the loop must outlive the runtime's
// use (ShutdownRuntime before it goes).
void UseEventLoop(asio::io_context& loop);
// Closes every connection (peers see this process gone: their calls fail,
// what they held here is released), revokes every class object and returns
// to the blocking form.
void ShutdownRuntime();
// Serves descriptors and timers in the blocking form (see Reactor).
bool Pump(const std::function<bool()>& done, Clock::time_point deadline, int extraFd = -1,
          bool* extraReady = nullptr);
Reactor& GetReactor();

// ---- Classes ------------------------------------------------------------------

class ClassFactory {
 public:
  virtual ~ClassFactory() = default;
  virtual Status CreateInstance(Ref<IDispatch>* out) = 0;
};

// A running local server offers its class: one listening socket per class
// under $QN_ROOT/run/quillnet/, usable by its owner only. Every creation
// through it calls the factory. kSharingViolation when another process of
// this root has the class registered.
inline constexpr Status kSharingViolation = 0x80070020;
Status RegisterClassObject(const std::string& clsid, std::shared_ptr<ClassFactory> factory,
                           uint32_t* cookie);
void RevokeClassObject(uint32_t cookie);

// Creates an object of a class named by its ProgID or "{CLSID}": a class
// registered by this process, else the registry's InprocServer32 (a shared
// library exporting kInprocEntryName), else its LocalServer32: the running
// server's socket, or the command started with "-Embedding" and waited for
// up to `timeoutMs` (kServerExecFailure when it does not register in time
// or ends first). The object's proxy gets `timeoutMs` as its call limit.
Status CreateObject(const std::string& classText, Ref<IDispatch>* out,
                    int timeoutMs = kDefaultCallTimeoutMs);
// The same without waiting; `done` runs later on the runtime's thread.
void CreateObjectAsync(const std::string& classText,
                       std::function<void(Status, Ref<IDispatch>)> done,
                       int timeoutMs = kDefaultCallTimeoutMs);

// An in-process server exports, with C linkage:
//   qn::automation::Status AutomationCreateObject(const char* clsid,
//                                                 qn::automation::IDispatch** out);
// returning a new object with one reference for the caller.
inline constexpr const char* kInprocEntryName = "AutomationCreateObject";
using InprocEntry = Status (*)(const char* clsid, IDispatch** out);

// ---- Proxies --------------------------------------------------------------------

// True for an object of another process.
bool IsProxy(IDispatch* object);
// A proxy's time limit per call (kDefaultCallTimeoutMs unless set).
void SetCallTimeout(IDispatch* proxy, int timeoutMs);

// Objects that other processes hold references on.
size_t ExportedObjectCount();
// Open connections to other processes.
size_t ConnectionCount();
void SetOutputLimit(size_t bytes);

}  // namespace qn::automation
