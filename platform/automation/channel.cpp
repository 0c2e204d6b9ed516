#include "platform/automation/channel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/automation/class_registry.h"
#include "platform/automation/runtime.h"

namespace qn::automation {

namespace {

// Read at most this much per turn, so one busy peer cannot starve the loop.
constexpr size_t kReadBudget = 256 * 1024;

}  // namespace

Channel::Channel(int fd, bool initiated) : fd_(fd), initiated_(initiated) {}

Channel::~Channel() {
  watch_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void Channel::Start() {
  watch_ = ChannelReactor().WatchSocket(fd_);
  ArmRead();
}

void Channel::ArmRead() {
  if (closed_) return;
  std::weak_ptr<Channel> weak = shared_from_this();
  const bool received = watch_->ReceiveSome([weak](const char* data, size_t n, bool failed) {
    if (auto self = weak.lock()) self->OnReceived(data, n, failed);
  });
  if (!received) {
    watch_->WantRead([weak] {
      if (auto self = weak.lock()) self->OnReadable();
    });
  }
}

void Channel::OnReceived(const char* data, size_t n, bool failed) {
  auto self = shared_from_this();
  if (failed) {
    Close(kCallFailed);
    return;
  }
  in_.append(data, n);
  ArmRead();
  ProcessInput();
}

void Channel::OnReadable() {
  auto self = shared_from_this();
  size_t taken = 0;
  bool drained = false;
  char buf[65536];
  // A short read has emptied the socket. Anything later wakes the watch
  // again: polling is level-triggered, and on the event loop every new wish
  // re-arms the descriptor, which reports data already waiting.
  while (taken < kReadBudget) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      in_.append(buf, static_cast<size_t>(n));
      taken += static_cast<size_t>(n);
      if (static_cast<size_t>(n) < sizeof buf) {
        drained = true;
        break;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      drained = true;
      break;
    }
    // The peer has gone; what it sent before going is not acted on.
    Close(kCallFailed);
    return;
  }
  // Armed before the frames run: a call made from inside one of them waits
  // for its own reply on this connection.
  if (drained) {
    ArmRead();
  } else {
    std::weak_ptr<Channel> weak = self;
    ChannelReactor().Post([weak] {
      if (auto s = weak.lock(); s && s->IsOpen()) s->OnReadable();
    });
  }
  ProcessInput();
}

void Channel::ProcessInput() {
  while (!closed_) {
    const size_t available = in_.size() - inOffset_;
    if (available < 4) break;
    uint32_t length = 0;
    std::memcpy(&length, in_.data() + inOffset_, 4);
    if (length == 0 || length > wire::kMaxFrame) {
      Close(kCallFailed);
      return;
    }
    if (available - 4 < length) break;
    std::string body(in_, inOffset_ + 4, length);
    inOffset_ += 4 + length;
    if (inOffset_ == in_.size()) {
      in_.clear();
      inOffset_ = 0;
    }
    ProcessFrame(body);
  }
  if (inOffset_ > 0 && inOffset_ * 2 > in_.size()) {
    in_.erase(0, inOffset_);
    inOffset_ = 0;
  }
  if (in_.empty()) in_.shrink_to_fit();
}

void Channel::ProcessFrame(const std::string& body) {
  wire::Message m;
  if (!wire::Decode(reinterpret_cast<const uint8_t*>(body.data()), body.size(), *this, &m)) {
    Close(kCallFailed);
    return;
  }
  switch (m.type) {
    case wire::kCreate: OnCreate(m); break;
    case wire::kGetId: OnGetId(m); break;
    case wire::kInvoke: OnInvoke(m); break;
    case wire::kResult: OnResult(m); break;
    case wire::kRelease: OnRelease(m); break;
    default: break;
  }
}

void Channel::OnCreate(wire::Message& m) {
  Ref<IDispatch> object;
  Status s = CreateRegistered(CanonicalClsid(m.text), &object);
  if (s == kOk && !object) s = kUnexpected;
  Reply(m.call, s, s == kOk ? Variant::Dispatch(object) : Variant(), {}, {});
}

void Channel::OnGetId(wire::Message& m) {
  const auto it = exports_.find(m.object);
  if (it == exports_.end()) {
    Reply(m.call, kDisconnected, Variant(), {}, {});
    return;
  }
  Ref<IDispatch> object = it->second.object;
  std::weak_ptr<Channel> weak = shared_from_this();
  const uint32_t call = m.call;
  object->GetIDOfNameAsync(m.text, [weak, call](Status s, DispId id) {
    if (auto self = weak.lock()) self->Reply(call, s, Variant::I4(id), {}, {});
  });
}

namespace {

// Storage for the arguments of a call from the peer: by-reference arguments
// point into it until the call's end.
struct IncomingCall {
  std::vector<Variant> values;
  std::vector<bool> byRef;
};

}  // namespace

void Channel::OnInvoke(wire::Message& m) {
  const bool wantsReply = (m.flags & wire::kNoReply) == 0;
  const auto it = exports_.find(m.object);
  if (it == exports_.end()) {
    if (wantsReply) Reply(m.call, kDisconnected, Variant(), {}, {});
    return;
  }
  Ref<IDispatch> object = it->second.object;
  auto state = std::make_shared<IncomingCall>();
  state->values = std::move(m.args);
  state->byRef = std::move(m.byRef);
  bool anyByRef = false;
  std::vector<Variant> args(state->values.size());
  for (size_t i = 0; i < args.size(); ++i) {
    if (state->byRef[i]) {
      args[i] = Variant::ByRef(&state->values[i]);
      anyByRef = true;
    } else {
      args[i] = state->values[i];
    }
  }
  Completion done;
  if (wantsReply) {
    std::weak_ptr<Channel> weak = shared_from_this();
    const uint32_t call = m.call;
    done = [weak, call, state](Outcome& o) {
      auto self = weak.lock();
      if (!self) return;
      std::vector<Variant> byRef;
      if (o.status == kOk) {
        for (size_t i = 0; i < state->values.size(); ++i)
          if (state->byRef[i]) byRef.push_back(state->values[i]);
      }
      self->Reply(call, o.status, o.result, byRef, o.exception);
    };
  } else if (anyByRef) {
    done = [state](Outcome&) {};
  }
  object->InvokeAsync(m.dispid, m.kind, std::move(args), std::move(done));
}

void Channel::OnResult(wire::Message& m) {
  const auto it = pending_.find(m.call);
  if (it == pending_.end()) return;  // timed out, or never asked: dropped
  Pending p = std::move(it->second);
  pending_.erase(it);
  if (p.timer) p.timer->Cancel();
  p.done(kOk, &m);
  CloseIfIdle();
}

void Channel::OnRelease(wire::Message& m) {
  const auto it = exports_.find(m.object);
  if (it == exports_.end()) return;
  if (m.count < it->second.count) {
    it->second.count -= m.count;
    return;
  }
  Ref<IDispatch> gone = std::move(it->second.object);
  byObject_.erase(gone.get());
  exports_.erase(it);
  // The object may go now, and with it whatever it held.
}

void Channel::Reply(uint32_t call, Status status, const Variant& result,
                    const std::vector<Variant>& byRef, const ExcepInfo& exception) {
  if (closed_) return;
  if (!Encode([&](std::string& out) {
        return wire::EncodeResult(out, *this, call, status, result, byRef, exception);
      })) {
    // Too large for one frame: the caller learns that much.
    Encode([&](std::string& out) {
      return wire::EncodeResult(out, *this, call, kOutOfMemory, Variant(), {}, {});
    });
  }
  FlushOrDrop();
}

bool Channel::Encode(const std::function<bool(std::string&)>& encode) {
  encodeExports_.clear();
  const bool ok = encode(out_);
  if (!ok) {
    for (uint32_t handle : encodeExports_) {
      auto it = exports_.find(handle);
      if (it == exports_.end()) continue;
      if (--it->second.count == 0) {
        byObject_.erase(it->second.object.get());
        exports_.erase(it);
      }
    }
  }
  encodeExports_.clear();
  return ok;
}

bool Channel::Flush() {
  while (outOffset_ < out_.size()) {
    const ssize_t n = ::send(fd_, out_.data() + outOffset_, out_.size() - outOffset_,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      outOffset_ += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!writeArmed_) {
        writeArmed_ = true;
        std::weak_ptr<Channel> weak = shared_from_this();
        watch_->WantWrite([weak] {
          if (auto self = weak.lock()) self->OnWritable();
        });
      }
      return true;
    }
    return false;
  }
  out_.clear();
  outOffset_ = 0;
  if (out_.capacity() > 64 * 1024) out_.shrink_to_fit();
  return true;
}

bool Channel::FlushOrDrop() {
  if (closed_) return false;
  if (!Flush() || out_.size() - outOffset_ > OutputLimit()) {
    Close(kCallFailed);
    return false;
  }
  return true;
}

void Channel::OnWritable() {
  writeArmed_ = false;
  if (!closed_) FlushOrDrop();
}

uint32_t Channel::Call(const Encoder& encode, Done done, int timeoutMs) {
  if (closed_) {
    done(kCallFailedDne, nullptr);
    return 0;
  }
  uint32_t call = nextCall_++;
  if (call == 0) call = nextCall_++;
  if (!Encode([&](std::string& out) { return encode(out, call); })) {
    done(kOutOfMemory, nullptr);
    return 0;
  }
  auto self = shared_from_this();
  if (!Flush()) {
    Close(kCallFailed);
    done(kCallFailedDne, nullptr);
    return 0;
  }
  if (out_.size() - outOffset_ > OutputLimit()) {
    Close(kCallFailed);
    done(kCallFailed, nullptr);
    return 0;
  }
  Pending& p = pending_[call];
  p.done = std::move(done);
  p.timer = ChannelReactor().MakeTimer();
  std::weak_ptr<Channel> weak = self;
  p.timer->Start(Clock::now() + std::chrono::milliseconds(timeoutMs), [weak, call] {
    if (auto s = weak.lock()) s->TimeOut(call);
  });
  return call;
}

void Channel::Abandon(uint32_t call) {
  pending_.erase(call);
  CloseIfIdle();
}

void Channel::SendOneWay(const Encoder& encode) {
  if (closed_) return;
  if (Encode([&](std::string& out) { return encode(out, 0); })) FlushOrDrop();
}

void Channel::TimeOut(uint32_t call) {
  const auto it = pending_.find(call);
  if (it == pending_.end()) return;
  Done done = std::move(it->second.done);
  pending_.erase(it);
  // The peer may still answer; that late answer finds no call and is dropped.
  done(kTimeout, nullptr);
  CloseIfIdle();
}

void Channel::CloseIfIdle() {
  if (initiated_ && !closed_ && proxies_ == 0 && pending_.empty()) Close(kCallFailed);
}

void Channel::Close(Status status) {
  if (closed_) return;
  closed_ = true;
  auto self = shared_from_this();
  watch_.reset();
  ::close(fd_);
  fd_ = -1;
  in_.clear();
  out_.clear();
  ForgetChannel(this);
  auto pending = std::move(pending_);
  pending_.clear();
  auto exports = std::move(exports_);
  exports_.clear();
  byObject_.clear();
  for (auto& [call, p] : pending) {
    if (p.timer) p.timer->Cancel();
    p.done(status, nullptr);
  }
  // Released last: the objects' own ends may call into the runtime.
  exports.clear();
}

void Channel::Export(IDispatch* object, uint32_t* handle, bool* peersOwn) {
  if (auto* remote = dynamic_cast<RemoteObject*>(object); remote && remote->channel() == this) {
    *handle = remote->handle();
    *peersOwn = true;
    return;
  }
  *peersOwn = false;
  const auto it = byObject_.find(object);
  uint32_t h = 0;
  if (it != byObject_.end()) {
    h = it->second;
    ++exports_[h].count;
  } else {
    h = nextHandle_++;
    if (h == 0) h = nextHandle_++;
    exports_[h] = Held{Ref<IDispatch>(object), 1};
    byObject_[object] = h;
  }
  encodeExports_.push_back(h);
  *handle = h;
}

bool Channel::Import(uint32_t handle, bool mine, Ref<IDispatch>* out) {
  if (mine) {
    const auto it = exports_.find(handle);
    if (it == exports_.end()) return false;
    *out = it->second.object;
    return true;
  }
  const auto it = imports_.find(handle);
  if (it != imports_.end()) {
    it->second->AddReceived();
    *out = Ref<IDispatch>(it->second);
    return true;
  }
  auto* proxy = new RemoteObject(shared_from_this(), handle);
  imports_[handle] = proxy;
  *out = Ref<IDispatch>(proxy);
  return true;
}

void Channel::ProxyGone(uint32_t handle, uint32_t received) {
  const auto it = imports_.find(handle);
  if (it != imports_.end()) imports_.erase(it);
  --proxies_;
  if (closed_) return;
  SendOneWay([&](std::string& out, uint32_t) {
    wire::EncodeRelease(out, handle, received);
    return true;
  });
  CloseIfIdle();
}

// ---- RemoteObject -------------------------------------------------------------

RemoteObject::RemoteObject(std::shared_ptr<Channel> channel, uint32_t handle)
    : channel_(std::move(channel)), handle_(handle), timeoutMs_(kDefaultCallTimeoutMs) {
  ++channel_->proxies_;
}

void RemoteObject::OnFinalRelease() {
  // Kept until the release is sent: the channel may go with the last proxy.
  std::shared_ptr<Channel> channel = channel_;
  channel->ProxyGone(handle_, received_);
  delete this;
}

namespace {

// Waits for a call of this thread to end, serving everything else meanwhile.
Status Await(Channel& channel, uint32_t call, const bool& finished) {
  if (!finished && !ChannelReactor().PumpUntil([&] { return finished; }, Clock::time_point::max())) {
    channel.Abandon(call);
    return kUnexpected;
  }
  return kOk;
}

void StoreByRef(std::vector<Variant>& args, std::vector<Variant>& values) {
  size_t j = 0;
  for (Variant& a : args) {
    if (!a.IsByRef()) continue;
    if (j >= values.size()) break;
    a.Store(values[j++]);
  }
}

}  // namespace

Status RemoteObject::GetIDOfName(const std::string& name, DispId* id) {
  const std::string folded = FoldCase(name);
  if (const auto it = names_.find(folded); it != names_.end()) {
    *id = it->second;
    return kOk;
  }
  if (!ChannelReactor().CanBlock()) return kCantCallOut;
  if (!channel_->IsOpen()) return kCallFailedDne;
  Ref<IDispatch> keep(this);
  bool finished = false;
  Status status = kOk;
  const uint32_t call = channel_->Call(
      [&](std::string& out, uint32_t c) {
        wire::EncodeGetId(out, c, handle_, name);
        return true;
      },
      [&](Status failure, wire::Message* reply) {
        finished = true;
        status = reply ? reply->status : failure;
        if (reply && status == kOk) *id = static_cast<DispId>(reply->result.Integer());
      },
      timeoutMs_);
  if (const Status s = Await(*channel_, call, finished); s != kOk) return s;
  if (status == kOk) names_[folded] = *id;
  return status;
}

void RemoteObject::GetIDOfNameAsync(const std::string& name,
                                    std::function<void(Status, DispId)> done) {
  const std::string folded = FoldCase(name);
  if (const auto it = names_.find(folded); it != names_.end()) {
    done(kOk, it->second);
    return;
  }
  Ref<RemoteObject> self(this);
  channel_->Call(
      [&](std::string& out, uint32_t c) {
        wire::EncodeGetId(out, c, handle_, name);
        return true;
      },
      [self, folded, done](Status failure, wire::Message* reply) {
        const Status s = reply ? reply->status : failure;
        const DispId id = reply && s == kOk ? static_cast<DispId>(reply->result.Integer()) : 0;
        if (s == kOk) self->names_[folded] = id;
        if (done) done(s, id);
      },
      timeoutMs_);
}

Status RemoteObject::Invoke(DispId id, uint16_t kind, std::vector<Variant>& args,
                            Variant* result, ExcepInfo* exception) {
  if (!ChannelReactor().CanBlock()) return kCantCallOut;
  if (!channel_->IsOpen()) return kCallFailedDne;
  Ref<IDispatch> keep(this);
  bool finished = false;
  Status status = kOk;
  const uint32_t call = channel_->Call(
      [&](std::string& out, uint32_t c) {
        return wire::EncodeInvoke(out, *channel_, c, handle_, id, kind, 0, args);
      },
      [&](Status failure, wire::Message* reply) {
        finished = true;
        if (reply == nullptr) {
          status = failure;
          return;
        }
        status = reply->status;
        if (status == kOk) {
          if (result != nullptr) *result = std::move(reply->result);
          StoreByRef(args, reply->byRefValues);
        } else if (status == kException && exception != nullptr) {
          *exception = reply->exception;
        }
      },
      timeoutMs_);
  if (const Status s = Await(*channel_, call, finished); s != kOk) return s;
  return status;
}

void RemoteObject::InvokeAsync(DispId id, uint16_t kind, std::vector<Variant> args,
                               Completion done) {
  auto shared = std::make_shared<std::vector<Variant>>(std::move(args));
  if (!done) {
    channel_->SendOneWay([&](std::string& out, uint32_t c) {
      return wire::EncodeInvoke(out, *channel_, c, handle_, id, kind, wire::kNoReply, *shared);
    });
    return;
  }
  channel_->Call(
      [&](std::string& out, uint32_t c) {
        return wire::EncodeInvoke(out, *channel_, c, handle_, id, kind, 0, *shared);
      },
      [shared, done](Status failure, wire::Message* reply) {
        Outcome o;
        if (reply == nullptr) {
          o.status = failure;
        } else {
          o.status = reply->status;
          if (o.status == kOk) {
            o.result = std::move(reply->result);
            StoreByRef(*shared, reply->byRefValues);
          } else if (o.status == kException) {
            o.exception = reply->exception;
          }
        }
        done(o);
      },
      timeoutMs_);
}

}  // namespace qn::automation
