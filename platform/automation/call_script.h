// Calls written as lines of text, one call per line, and their outcomes as
// lines: what qnauto reads and prints, so that tests and scripts can drive
// any automation object.
//
// A call: the member's name or "#" and its dispatch ID, then the arguments,
// all separated by TABs: "s:text", "i2:n", "i4:n", "b:0" or "b:1", by
// reference "&s:initial" or "&i4:initial", or "sink" (the caller's own
// object). In texts, "\t", "\n", "\r" and "\\" stand for a TAB, a line feed,
// a carriage return and a backslash, both ways.
#pragma once
#include <string>
#include <vector>

#include "platform/automation/dispatch.h"

namespace qn::automation::script {

struct Argument {
  enum Kind { kValue, kByRef, kSink } kind = kValue;
  Variant value;  // the initial value of a by-reference argument
};

struct CallLine {
  std::string name;  // empty when called by ID
  DispId id = 0;
  std::vector<Argument> args;
};

// False for a line that is not a call.
bool ParseCall(const std::string& line, CallLine* out);

// A value as one field: BOOL -1/0, DATE "YYYY-MM-DD HH:MM:SS", texts escaped.
std::string Field(const Variant& v);

// "ok", the result (empty for none), then the by-reference values.
std::string OkLine(const Variant& result, const std::vector<Variant>& byRef);
// "error" and the status as 0x%08X; for kException also its code and text.
std::string ErrorLine(Status status, const ExcepInfo* exception = nullptr);
// "event", the dispatch ID, then the arguments.
std::string EventLine(DispId id, const std::vector<Variant>& args);

}  // namespace qn::automation::script
