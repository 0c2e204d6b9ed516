#include "common/pulse.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/main_loop.h"

namespace {

// The owner of a pulse, as services hold theirs.
struct Owner {
  CPulse* pulse = nullptr;
  int steps = 0;
  bool stopInStep = false;
  bool throwInStep = false;
  bool reachedEndOfStep = false;

  static void Step(void* argument) {
    auto* self = static_cast<Owner*>(argument);
    ++self->steps;
    if (self->throwInStep) throw std::runtime_error("step failed");
    if (self->stopInStep) {
      CPulse::Stop(self->pulse);
      self->pulse = nullptr;
    }
    self->reachedEndOfStep = true;
  }
};

// Each test drives the loop by hand; leftovers of an earlier test are drained.
class Pulse : public ::testing::Test {
 protected:
  void SetUp() override {
    qn::MainLoop().restart();
    while (qn::MainLoop().poll() != 0) {
    }
    qn::MainLoop().restart();
  }
  static size_t RunOne() {
    qn::MainLoop().restart();
    return qn::MainLoop().poll_one();
  }
};

}  // namespace

TEST_F(Pulse, StepsRepeatOnePerMessageUntilStopped) {
  Owner owner;
  owner.pulse = new CPulse(&Owner::Step, &owner);
  EXPECT_EQ(owner.steps, 0);  // never inside the constructor
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(RunOne(), 1u);
    EXPECT_EQ(owner.steps, i);
  }
  CPulse::Stop(owner.pulse);
}

TEST_F(Pulse, StepThatStopsItsOwnPulseFinishesAndNoStepFollows) {
  Owner owner;
  owner.stopInStep = true;
  owner.pulse = new CPulse(&Owner::Step, &owner);
  EXPECT_EQ(RunOne(), 1u);
  EXPECT_EQ(owner.steps, 1);
  EXPECT_TRUE(owner.reachedEndOfStep);
  // Nothing was posted after the step: the pulse deleted itself (the leak
  // checker of the sanitizer build fails the run otherwise).
  EXPECT_EQ(RunOne(), 0u);
  EXPECT_EQ(owner.steps, 1);
}

TEST_F(Pulse, StopBetweenStepsDeletesAtOnceAndTheNextMessageDoesNothing) {
  Owner owner;
  owner.pulse = new CPulse(&Owner::Step, &owner);
  EXPECT_EQ(RunOne(), 1u);
  EXPECT_FALSE(owner.pulse->IsBusy());
  CPulse::Stop(owner.pulse);  // deleted here, with its message still queued
  owner.pulse = nullptr;
  EXPECT_EQ(RunOne(), 1u);  // the queued message finds no pulse
  EXPECT_EQ(owner.steps, 1);
  EXPECT_EQ(RunOne(), 0u);

  // Stopped before its first step ever ran.
  Owner early;
  early.pulse = new CPulse(&Owner::Step, &early);
  CPulse::Stop(early.pulse);
  EXPECT_EQ(RunOne(), 1u);
  EXPECT_EQ(early.steps, 0);
}

TEST_F(Pulse, ThrowingStepEndsSteppingButTheOwnerStillStops) {
  Owner owner;
  owner.throwInStep = true;
  owner.pulse = new CPulse(&Owner::Step, &owner);
  EXPECT_EQ(RunOne(), 1u);
  EXPECT_EQ(owner.steps, 1);
  EXPECT_EQ(RunOne(), 0u);  // no further message
  EXPECT_FALSE(owner.pulse->IsBusy());
  CPulse::Stop(owner.pulse);  // still there to delete
  EXPECT_EQ(RunOne(), 0u);
}
