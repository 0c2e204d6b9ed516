// One connection to another process: frames in and out, the objects each
// side holds of the other, and the calls waiting for their results.
// Internal to the runtime.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/automation/reactor.h"
#include "platform/automation/wire.h"

namespace qn::automation {

class RemoteObject;

class Channel : public std::enable_shared_from_this<Channel>, public wire::ObjectMarshal {
 public:
  // The reply, or null with the failure (kTimeout, kCallFailed, ...).
  using Done = std::function<void(Status failure, wire::Message* reply)>;
  using Encoder = std::function<bool(std::string& out, uint32_t call)>;

  // `initiated`: this side connected, and closes once it holds nothing of
  // the peer any more.
  Channel(int fd, bool initiated);
  ~Channel() override;
  void Start();
  bool IsOpen() const { return !closed_; }

  // Sends a call; `done` runs once, later (or at once with kCallFailedDne
  // when the peer was gone before it). Returns the call's number.
  uint32_t Call(const Encoder& encode, Done done, int timeoutMs);
  // Forgets a call without running its `done`.
  void Abandon(uint32_t call);
  void SendOneWay(const Encoder& encode);
  // Drops the peer: waiting calls end with `status`, what the peer held is
  // released.
  void Close(Status status);

  void Export(IDispatch* object, uint32_t* handle, bool* peersOwn) override;
  bool Import(uint32_t handle, bool mine, Ref<IDispatch>* out) override;

  void ProxyGone(uint32_t handle, uint32_t received);
  size_t ExportCount() const { return exports_.size(); }

 private:
  struct Held {
    Ref<IDispatch> object;
    uint64_t count = 0;
  };
  struct Pending {
    Done done;
    std::unique_ptr<Timer> timer;
  };

  void ArmRead();
  void OnReadable();
  void OnReceived(const char* data, size_t n, bool failed);
  void ProcessInput();
  void ProcessFrame(const std::string& body);
  void OnCreate(wire::Message& m);
  void OnGetId(wire::Message& m);
  void OnInvoke(wire::Message& m);
  void OnResult(wire::Message& m);
  void OnRelease(wire::Message& m);
  void Reply(uint32_t call, Status status, const Variant& result,
             const std::vector<Variant>& byRef, const ExcepInfo& exception);
  // Appends a frame; false (nothing appended, exports taken back) when it
  // cannot be encoded.
  bool Encode(const std::function<bool(std::string&)>& encode);
  // Writes what the socket takes; false when the peer is gone.
  bool Flush();
  // After queueing: writes, and drops a peer that is gone or does not read.
  bool FlushOrDrop();
  void OnWritable();
  void TimeOut(uint32_t call);
  void CloseIfIdle();

  int fd_;
  bool initiated_;
  bool closed_ = false;
  std::unique_ptr<FdWatch> watch_;
  bool writeArmed_ = false;
  std::string in_;
  size_t inOffset_ = 0;
  std::string out_;
  size_t outOffset_ = 0;

  std::map<uint32_t, Held> exports_;
  std::unordered_map<IDispatch*, uint32_t> byObject_;
  uint32_t nextHandle_ = 1;
  std::vector<uint32_t> encodeExports_;
  std::map<uint32_t, RemoteObject*> imports_;
  size_t proxies_ = 0;
  std::map<uint32_t, Pending> pending_;
  uint32_t nextCall_ = 1;

  friend class RemoteObject;
};

// An object of the peer, called through its channel.
class RemoteObject : public IDispatch {
 public:
  RemoteObject(std::shared_ptr<Channel> channel, uint32_t handle);
  Status GetIDOfName(const std::string& name, DispId* id) override;
  Status Invoke(DispId id, uint16_t kind, std::vector<Variant>& args, Variant* result,
                ExcepInfo* exception) override;
  void InvokeAsync(DispId id, uint16_t kind, std::vector<Variant> args, Completion done) override;
  void GetIDOfNameAsync(const std::string& name,
                        std::function<void(Status, DispId)> done) override;

  const Channel* channel() const { return channel_.get(); }
  uint32_t handle() const { return handle_; }
  void AddReceived() { ++received_; }
  void SetTimeout(int ms) { timeoutMs_ = ms; }

 protected:
  void OnFinalRelease() override;

 private:
  std::shared_ptr<Channel> channel_;
  uint32_t handle_;
  uint32_t received_ = 1;
  int timeoutMs_;
  std::map<std::string, DispId> names_;  // folded names already looked up
};

// Runtime state the channels reach.
Reactor& ChannelReactor();
void ForgetChannel(Channel* channel);
size_t OutputLimit();
// The class object this process registered for `clsid`; kClassNotRegistered.
Status CreateRegistered(const std::string& clsid, Ref<IDispatch>* out);

}  // namespace qn::automation
