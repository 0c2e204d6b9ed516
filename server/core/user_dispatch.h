// A logged-on member as an automation object (what external service servers
// get as "User"): 30 properties over the account row and the member's own
// fields, then GetKeys, DeductCredits, HasKey, DeductKey, SendCAM and
// SendLiveMessage. The object outlives nothing: once its member logs off,
// every reference still held answers 0x80010108.
#pragma once
#include "platform/automation/object.h"

class CUser;

inline constexpr int32_t kGetKeysErrorCode = 101;
inline constexpr const char* kGetKeysCreateText =
    "Quillnet User GetKeys Error! Could not create Variant Array!";

// The member's object (the same one while the member stays logged on); null
// for a member who is not logged on.
qn::automation::Ref<qn::automation::IDispatch> GetUserDispatch(CUser* user);
