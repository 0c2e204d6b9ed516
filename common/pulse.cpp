#include "common/pulse.h"

#include <asio/post.hpp>
#include <cstdio>
#include <exception>

#include "platform/main_loop.h"

struct CPulse::Window {
  CPulse* pulse;
};

CPulse::CPulse(Callback callback, void* argument)
    : m_pCallback(callback), m_pArgument(argument), m_window(std::make_shared<Window>(Window{this})) {
  Post();
}

CPulse::~CPulse() { m_window->pulse = nullptr; }

void CPulse::Post() {
  asio::post(qn::MainLoop(), [window = m_window] {
    if (window->pulse != nullptr) window->pulse->OnPulse();
  });
}

void CPulse::OnPulse() {
  m_bBusy = true;
  bool failed = false;
  try {
    m_pCallback(m_pArgument);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pulse step failed: %s\n", e.what());
    failed = true;
  } catch (...) {
    std::fprintf(stderr, "pulse step failed\n");
    failed = true;
  }
  m_bBusy = false;
  if (m_bStopRequested) {
    delete this;
    return;
  }
  // After a failed step the pulse stays until its owner stops it, but runs
  // no more steps.
  if (!failed) Post();
}

void CPulse::Stop(CPulse* pulse) {
  if (pulse == nullptr) return;
  if (pulse->m_bBusy)
    pulse->m_bStopRequested = true;
  else
    delete pulse;
}
