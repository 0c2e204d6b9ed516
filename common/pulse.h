// Runs a step on the main loop, one step per posted message, until told to
// stop, so that long work (a file push, a long table) interleaves with
// socket events and timers.
#pragma once
#include <memory>

class CPulse {
 public:
  using Callback = void (*)(void* argument);

  // Posts the first step; it runs when the loop reaches it, never inside the
  // constructor.
  CPulse(Callback callback, void* argument);
  CPulse(const CPulse&) = delete;
  CPulse& operator=(const CPulse&) = delete;

  // Ends the pulse: deletes it at once when idle; from inside a step (its own
  // or through its owner's deletion) only marks it, and the pulse deletes
  // itself when the step returns.
  static void Stop(CPulse* pulse);

  bool IsBusy() const { return m_bBusy; }

 private:
  struct Window;  // what a posted message finds, or not, when it arrives
  ~CPulse();
  void Post();
  void OnPulse();

  Callback m_pCallback;
  void* m_pArgument;
  bool m_bStopRequested = false;
  bool m_bBusy = false;
  std::shared_ptr<Window> m_window;
};
