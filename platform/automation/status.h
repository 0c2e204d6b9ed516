// Outcomes of automation calls, with the numbers Windows gives them, so that
// callers written against those numbers (the low 16 bits of an RPC failure,
// a bad parameter count) branch the same way.
#pragma once
#include <cstdint>
#include <string>

namespace qn::automation {

using Status = uint32_t;

inline constexpr Status kOk = 0;
inline constexpr Status kNotImplemented = 0x80004001;
inline constexpr Status kUnexpected = 0x8000FFFF;
inline constexpr Status kOutOfMemory = 0x8007000E;
inline constexpr Status kInvalidArg = 0x80070057;
inline constexpr Status kMemberNotFound = 0x80020003;   // unknown dispatch ID
inline constexpr Status kTypeMismatch = 0x80020005;
inline constexpr Status kUnknownName = 0x80020006;
inline constexpr Status kException = 0x80020009;        // the callee raised (code, text)
inline constexpr Status kOverflow = 0x8002000A;
inline constexpr Status kBadParamCount = 0x8002000E;
inline constexpr Status kClassNotRegistered = 0x80040154;
inline constexpr Status kServerExecFailure = 0x80080005;  // server not started in time
inline constexpr Status kDisconnected = 0x80010108;     // the object was disconnected
inline constexpr Status kCantCallOut = 0x8001010D;      // a blocking call from the event loop
inline constexpr Status kTimeout = 0x8001011F;
inline constexpr Status kCallFailed = 0x800706BE;       // the peer went during the call
inline constexpr Status kCallFailedDne = 0x800706BF;    // the peer was gone before the call

inline bool Succeeded(Status s) { return (s & 0x80000000u) == 0; }

// "0x%08X".
std::string StatusText(Status s);

}  // namespace qn::automation
