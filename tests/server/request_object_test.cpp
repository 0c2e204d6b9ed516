// The request object alone, against a recording host: what reaches the
// request for each kind of argument array, refusals that leave everything as
// it was, the reference count and the end of the request.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/byte_block.h"
#include "server/core/result_set.h"
#include "server/services/request_object.h"

using namespace qn::automation;

namespace {

class RecordingHost : public CRequestHost {
 public:
  void SendSchemaReply(CByteBlock* body) override {
    schemas.emplace_back(body->data, body->data + body->length);
    delete body;
  }
  void SendRowReply(CByteBlock* body) override {
    rows.emplace_back(body->data, body->data + body->length);
    delete body;
  }
  void PostRequestAudit(const std::string& keyword, const std::string& description) override {
    audits.push_back(keyword + "|" + description);
  }
  bool StartSendFile(const std::string& path) override {
    files.push_back("send " + path);
    return true;
  }
  bool StartReceiveFile(const std::string& path) override {
    files.push_back("receive " + path);
    return false;
  }
  void RequestObjectGone() override { ++gone; }

  std::vector<std::vector<uint8_t>> schemas, rows;
  std::vector<std::string> audits, files;
  int gone = 0;
};

Variant Array(uint16_t element, std::vector<Variant> items) {
  SafeArray a;
  SafeArray::Make(element, {{static_cast<uint32_t>(items.size()), 0}}, &a);
  for (size_t i = 0; i < items.size(); ++i) a.PutFlat(i, items[i]);
  return Variant::Array(std::move(a));
}

Variant Names(int n) {
  std::vector<Variant> names;
  for (int i = 0; i < n; ++i) names.push_back(Variant::Bstr("N" + std::to_string(i)));
  return Array(VT_VARIANT, names);
}

struct Raised {
  Status status;
  int32_t code;
  std::string text;
};

Raised Invoke(IDispatch& object, const char* name, std::vector<Variant> args, Variant* result = nullptr) {
  DispId id = 0;
  if (const Status s = object.GetIDOfName(name, &id); s != kOk) return {s, 0, ""};
  ExcepInfo e;
  const Status s = object.Invoke(id, DISPATCH_METHOD, args, result, &e);
  return {s, e.code, e.description};
}

class RequestObject : public ::testing::Test {
 protected:
  void SetUp() override { request = new CRequest(&host); }
  void TearDown() override {
    if (request != nullptr) request->Release();
  }
  RecordingHost host;
  CRequest* request = nullptr;
};

TEST_F(RequestObject, IdsInTheirOrderAndTheCountStartsAtTheServersReference) {
  const char* names[] = {"SendRow", "SetColumnTypes", "PostAudit", "SendFile", "ReceiveFile"};
  for (int i = 0; i < 5; ++i) {
    DispId id = 0;
    ASSERT_EQ(request->GetIDOfName(names[i], &id), kOk);
    EXPECT_EQ(id, i + 1);
  }
  EXPECT_EQ(request->RefCount(), 1u);
  request->AddRef();
  request->Release();
  EXPECT_EQ(host.gone, 0);
  request->Release();
  request = nullptr;
  EXPECT_EQ(host.gone, 1);
}

TEST_F(RequestObject, ARefusedSchemaIsNotKeptAndTypedArraysGiveTheirElementType) {
  // A typed types array: every element has the array's type.
  SafeArray longs;
  SafeArray::Make(VT_I4, {{2, 5}}, &longs);
  EXPECT_EQ(Invoke(*request, "SetColumnTypes", {Variant::Array(longs), Names(1)}).code, 101);
  EXPECT_EQ(Invoke(*request, "SetColumnTypes", {Array(VT_VARIANT, {Variant::R8(1)}), Names(1)}).code, 104);
  // A names array of BSTR elements, as typed arrays come.
  SafeArray names;
  SafeArray::Make(VT_BSTR, {{2, 0}}, &names);
  names.PutFlat(0, Variant::Bstr("A"));
  names.PutFlat(1, Variant::Bstr(std::string("B\0hidden", 8)));
  EXPECT_TRUE(host.schemas.empty());
  ASSERT_EQ(Invoke(*request, "SetColumnTypes", {Variant::Array(longs), Variant::Array(names)}).status, kOk);
  ASSERT_EQ(host.schemas.size(), 1u);
  auto schema = qn::DecodeSchema(host.schemas[0].data(), host.schemas[0].size());
  ASSERT_TRUE(schema.has_value());
  EXPECT_EQ(schema->rowCount, -1);
  ASSERT_EQ(schema->columns.size(), 2u);
  EXPECT_EQ(schema->columns[0].type, kColumnLong);
  EXPECT_EQ(schema->columns[1].name, "B");

  // Rows of a typed array, and a refused row that sends nothing.
  SafeArray row;
  SafeArray::Make(VT_UI4, {{2, 0}}, &row);
  row.PutFlat(0, Variant::UI4(7));
  row.PutFlat(1, Variant::UI4(0xFFFFFFFF));
  ASSERT_EQ(Invoke(*request, "SendRow", {Variant::Array(row)}).status, kOk);
  EXPECT_EQ(Invoke(*request, "SendRow", {Array(VT_VARIANT, {Variant::I4(1), Variant::Bstr("x")})}).text,
            "SendRow: Invalid type on column 2 (expecting long)");
  ASSERT_EQ(host.rows.size(), 1u);
  auto values = qn::DecodeRow(schema->columns, host.rows[0].data(), host.rows[0].size());
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(std::get<int32_t>((*values)[1]), -1);
}

TEST_F(RequestObject, DatesGoThroughTheTwoSecondFormWithinItsYears) {
  uint32_t seconds = 0;
  double date = 0;
  ASSERT_TRUE(ParseDate("2000-01-01 00:00:01", &date));
  ASSERT_TRUE(RowSecondsFromDate(date, &seconds));
  ASSERT_TRUE(ParseDate("2000-01-01 00:00:00", &date));
  uint32_t even = 0;
  ASSERT_TRUE(RowSecondsFromDate(date, &even));
  EXPECT_EQ(seconds, even);
  ASSERT_TRUE(ParseDate("1979-12-31 23:59:59", &date));
  EXPECT_FALSE(RowSecondsFromDate(date, &seconds));
  ASSERT_TRUE(ParseDate("1980-01-01 00:00:00", &date));
  EXPECT_TRUE(RowSecondsFromDate(date, &seconds));
  ASSERT_TRUE(ParseDate("2108-01-01 00:00:00", &date));
  EXPECT_FALSE(RowSecondsFromDate(date, &seconds));
}

TEST_F(RequestObject, AuditFilesAndAGoneRequest) {
  ASSERT_EQ(Invoke(*request, "PostAudit", {Variant::Bstr("Key"), Variant::Bstr("Text")}).status, kOk);
  EXPECT_EQ(host.audits, (std::vector<std::string>{"Key|Text"}));
  Variant result;
  ASSERT_EQ(Invoke(*request, "SendFile", {Variant::Bstr("C:\\a.txt")}, &result).status, kOk);
  EXPECT_EQ(result.vt(), VT_BOOL);
  EXPECT_TRUE(result.Boolean());
  ASSERT_EQ(Invoke(*request, "ReceiveFile", {Variant::Bstr("b")}, &result).status, kOk);
  EXPECT_FALSE(result.Boolean());

  // Its request gone, the object answers as disconnected, and its last
  // release tells nobody.
  request->AddRef();
  request->Unlink();
  EXPECT_EQ(Invoke(*request, "PostAudit", {Variant::Bstr("Late"), Variant::Bstr("x")}).status, kDisconnected);
  request->Release();
  request->Release();
  request = nullptr;
  EXPECT_EQ(host.audits.size(), 1u);
  EXPECT_EQ(host.gone, 0);
}

}  // namespace
