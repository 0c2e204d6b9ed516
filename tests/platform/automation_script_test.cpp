// qnauto's lines: calls parsed from text, outcomes and events printed as
// TAB-separated fields.
#include <gtest/gtest.h>

#include "platform/automation/call_script.h"

using namespace qn::automation;
using namespace qn::automation::script;

namespace {

TEST(AutomationScript, CallLinesAndTheirRefusals) {
  CallLine call;
  ASSERT_TRUE(ParseCall("SendGlobalMsgToUserID\ts:Max\ts:two\\twords\\\\ \\x\ti2:-3", &call));
  EXPECT_EQ(call.name, "SendGlobalMsgToUserID");
  ASSERT_EQ(call.args.size(), 3u);
  EXPECT_EQ(call.args[1].value.Text(), "two\twords\\ \\x");
  EXPECT_EQ(call.args[2].value.vt(), VT_I2);
  EXPECT_EQ(call.args[2].value.Integer(), -3);

  ASSERT_TRUE(ParseCall("#10\ti2:0\t&s:\t&s:x\t&i4:-5\tsink\tb:1\ts:", &call));
  EXPECT_TRUE(call.name.empty());
  EXPECT_EQ(call.id, 10);
  ASSERT_EQ(call.args.size(), 7u);
  EXPECT_EQ(call.args[1].kind, Argument::kByRef);
  EXPECT_EQ(call.args[3].value.Integer(), -5);
  EXPECT_EQ(call.args[4].kind, Argument::kSink);
  EXPECT_EQ(call.args[5].value.vt(), VT_BOOL);
  EXPECT_EQ(call.args[6].value.Text(), "");

  for (const char* bad : {"", "\ts:x", "#", "#x", "#1.5", "Name\tx", "Name\ti2:40000",
                          "Name\ti4:", "Name\ti4:1x", "Name\tb:2", "Name\t&i2:1", "Name\t&b:1",
                          "Name\tsinks", "Name\tq:1", "Name\t"}) {
    EXPECT_FALSE(ParseCall(bad, &call)) << bad;
  }
}

TEST(AutomationScript, OutcomeAndEventLines) {
  EXPECT_EQ(OkLine(Variant(), {}), "ok\t");
  EXPECT_EQ(OkLine(Variant::Bool(true), {Variant::Bstr("a\tb\nc"), Variant::I4(7)}),
            "ok\t-1\ta\\tb\\nc\t7");
  double date = 0;
  ASSERT_TRUE(ParseDate("2024-05-06 07:08:09", &date));
  EXPECT_EQ(OkLine(Variant::Date(date), {}), "ok\t2024-05-06 07:08:09");
  EXPECT_EQ(ErrorLine(kUnknownName), "error\t0x80020006");
  ExcepInfo e{101, "", "Quillnet Server GetUser is not yet implemented."};
  EXPECT_EQ(ErrorLine(kException, &e),
            "error\t0x80020009\t101\tQuillnet Server GetUser is not yet implemented.");
  EXPECT_EQ(EventLine(1, {Variant::I4(3)}), "event\t1\t3");

  SafeArray keys;
  ASSERT_TRUE(SafeArray::Make(VT_VARIANT, {{2, 0}, {3, 0}}, &keys));
  keys.PutFlat(0, Variant::Bstr("CHAT"));
  keys.PutFlat(1, Variant::Bstr("a,b"));
  keys.PutFlat(2, Variant::I4(5));
  EXPECT_EQ(OkLine(Variant::Array(keys), {}), "ok\tCHAT,a,b,5;,,");
}

}  // namespace
