// The invitation pairs on their own: user IDs without regard to case, the
// bound per owner, removals of one pair or of all a member gave and got, and
// the order of the walks when many owners and invitees mix.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/services/chat_invitations.h"

namespace {

using Names = std::vector<std::string>;
using Result = CChatInvitations::AddResult;

TEST(ChatInvitations, PairsAreFoundAndRemovedWithoutRegardToCase) {
  CChatInvitations pairs;
  EXPECT_EQ(pairs.Add("Own", "Gus"), Result::kAdded);
  EXPECT_EQ(pairs.Add("OWN", "gus"), Result::kAlreadyThere);
  EXPECT_EQ(pairs.Add("Own", "Ann"), Result::kAdded);
  EXPECT_EQ(pairs.Add("Ann", "Own"), Result::kAdded);
  EXPECT_EQ(pairs.Add("Gus", "Ann"), Result::kAdded);
  EXPECT_TRUE(pairs.Contains("own", "GUS"));
  EXPECT_FALSE(pairs.Contains("Gus", "Own"));
  // As first typed, in the order given.
  EXPECT_EQ(pairs.InviteesOf("own"), (Names{"Gus", "Ann"}));
  EXPECT_EQ(pairs.OwnersOf("ANN"), (Names{"Own", "Gus"}));

  pairs.Remove("own", "ann");
  EXPECT_EQ(pairs.InviteesOf("Own"), (Names{"Gus"}));
  EXPECT_EQ(pairs.OwnersOf("Ann"), (Names{"Gus"}));
  pairs.Remove("Own", "Nobody");
  EXPECT_EQ(pairs.Count(), 3u);
  // An empty invitee: every pair the member gave or got.
  pairs.Remove("OWN", "");
  EXPECT_EQ(pairs.Count(), 1u);
  EXPECT_TRUE(pairs.Contains("gus", "ann"));
  EXPECT_EQ(pairs.OwnersOf("own"), Names{});
  pairs.Clear();
  EXPECT_EQ(pairs.Count(), 0u);
  EXPECT_EQ(pairs.InviteesOf("Gus"), Names{});
}

TEST(ChatInvitations, EachOwnerStopsAtTheBoundWhileOthersGoOn) {
  CChatInvitations pairs;
  constexpr int kOwners = 60;
  for (int o = 0; o < kOwners; ++o)
    for (size_t i = 0; i < CChatInvitations::kMaxPerOwner; ++i)
      ASSERT_EQ(pairs.Add("O" + std::to_string(o), "G" + std::to_string(i)), Result::kAdded);
  EXPECT_EQ(pairs.Count(), kOwners * CChatInvitations::kMaxPerOwner);
  EXPECT_EQ(pairs.Add("o0", "New"), Result::kOwnerFull);
  EXPECT_EQ(pairs.Add("o0", "g5"), Result::kAlreadyThere);
  EXPECT_EQ(pairs.Add("Other", "g5"), Result::kAdded);
  EXPECT_EQ(pairs.CountGivenBy("O0"), CChatInvitations::kMaxPerOwner);

  // Every owner invited G5; their order is that of the invitations.
  const Names owners = pairs.OwnersOf("g5");
  ASSERT_EQ(owners.size(), kOwners + 1u);
  EXPECT_EQ(owners.front(), "O0");
  EXPECT_EQ(owners[kOwners - 1], "O59");
  EXPECT_EQ(owners.back(), "Other");

  // G5 logs off: gone from every owner's list, each owner with room again.
  pairs.Remove("G5", "");
  EXPECT_EQ(pairs.CountGivenBy("O0"), CChatInvitations::kMaxPerOwner - 1);
  EXPECT_EQ(pairs.Add("O0", "New"), Result::kAdded);
  const Names invitees = pairs.InviteesOf("O0");
  EXPECT_EQ(invitees[5], "G6");
  EXPECT_EQ(invitees.back(), "New");
  pairs.Remove("O1", "");
  EXPECT_EQ(pairs.CountGivenBy("o1"), 0u);
  // 59 owners of 999 each, and O0's new one.
  EXPECT_EQ(pairs.Count(), (kOwners - 1) * (CChatInvitations::kMaxPerOwner - 1) + 1);
}

}  // namespace
