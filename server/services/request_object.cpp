#include "server/services/request_object.h"

#include <cstdio>
#include <ctime>
#include <limits>

#include "common/byte_block.h"
#include "server/core/frame_decoder.h"
#include "server/core/request_packet.h"

using namespace qn::automation;

namespace {

// A reply travels in one frame with its 3-byte header.
bool FitsOnePacket(const CByteBlock& body) {
  return qn::kIdHeaderLength + static_cast<size_t>(body.length) <= qn::kMaxFrame;
}

const char* ColumnTypeName(uint8_t type) {
  switch (type) {
    case kColumnBool: return "BOOL";
    case kColumnByte: return "BYTE";
    case kColumnShort: return "short";
    case kColumnLong: return "long";
    case kColumnFloat: return "float";
    case kColumnDate: return "DATE";
    case kColumnString: return "String";
    default: return "Binary";
  }
}

std::string ColumnText(const char* format, int column, uint8_t type) {
  char text[96];
  std::snprintf(text, sizeof text, format, column, ColumnTypeName(type));
  return text;
}

// An element's own automation type: a VARIANT element's, else the array's.
uint16_t ElementType(const SafeArray& array, size_t i) {
  return array.ElementType() == VT_VARIANT ? array.GetFlat(i).vt() : array.ElementType();
}

}  // namespace

uint8_t ColumnTypeOfElement(uint16_t vt) {
  switch (vt) {
    case VT_BOOL: return kColumnBool;
    case VT_I1:
    case VT_UI1: return kColumnByte;
    case VT_I2:
    case VT_UI2: return kColumnShort;
    case VT_I4:
    case VT_UI4: return kColumnLong;
    case VT_R4: return kColumnFloat;
    case VT_DATE: return kColumnDate;
    case VT_BSTR: return kColumnString;
    case VT_ARRAY | VT_I1:
    case VT_ARRAY | VT_UI1: return kColumnBinary;
    default: return 0;
  }
}

bool RowSecondsFromDate(double date, uint32_t* seconds) {
  DateParts parts;
  if (!PartsFromDate(date, &parts) || parts.year < 1980 || parts.year > 2107) return false;
  std::tm local{};
  local.tm_year = parts.year - 1900;
  local.tm_mon = parts.month - 1;
  local.tm_mday = parts.day;
  local.tm_hour = parts.hour;
  local.tm_min = parts.minute;
  local.tm_sec = parts.second & ~1;  // the DOS form counts seconds in twos
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  if (t < 0 || t > static_cast<std::time_t>(std::numeric_limits<uint32_t>::max())) return false;
  *seconds = static_cast<uint32_t>(t);
  return true;
}

struct CRequestMembers {
  static CRequestHost& Host(DispatchObject& self) {
    // A request object whose request has gone is disconnected and never gets
    // here.
    return *static_cast<CRequest&>(self).m_pHost;
  }

  static Variant SendRow(CRequest& self, std::vector<Variant>& a) {
    if (!self.m_pSchema) throw DispatchError(120, "SendRow called without first calling SetColumnTypes");
    const Variant& row = a[0].Deref();
    if (!row.IsArray()) throw DispatchError(100, "SendRow: Invalid Arguments (must be an array)");
    const SafeArray& values = row.Array();
    if (values.Dims() != 1) throw DispatchError(102, "SendRow: Array must be 1-dimensional");
    const CColumnTypes& schema = *self.m_pSchema;
    if (values.Size() != static_cast<size_t>(schema.GetColumnCount()))
      throw DispatchError(103, "SendRow: Column Number Mismatch (with SetColumnTypes)");

    CResultRow result(schema);
    for (int i = 0; i < schema.GetColumnCount(); ++i) {
      CColumnDef column;
      schema.GetColumn(i, column);
      const size_t at = static_cast<size_t>(i);
      if (ColumnTypeOfElement(ElementType(values, at)) != column.type)
        throw DispatchError(101, ColumnText("SendRow: Invalid type on column %d (expecting %s)", i + 1,
                                            column.type));
      const Variant value = values.GetFlat(at);
      switch (column.type) {
        case kColumnBool:
        case kColumnLong: {
          const int32_t v = static_cast<int32_t>(value.Integer());
          result.AddValue(&v);
          break;
        }
        case kColumnByte: {
          const uint8_t v = static_cast<uint8_t>(value.Integer());
          result.AddValue(&v);
          break;
        }
        case kColumnShort: {
          const int16_t v = static_cast<int16_t>(value.Integer());
          result.AddValue(&v);
          break;
        }
        case kColumnFloat: {
          const float v = static_cast<float>(value.Real());
          result.AddValue(&v);
          break;
        }
        case kColumnDate: {
          uint32_t seconds = 0;
          if (!RowSecondsFromDate(value.Real(), &seconds))
            throw DispatchError(101, ColumnText("SendRow: Invalid information in column %d (expecting %s)",
                                                i + 1, kColumnDate));
          const int32_t v = static_cast<int32_t>(seconds);
          result.AddValue(&v);
          break;
        }
        case kColumnString:
          result.AddValue(&value.Text());
          break;
        default: {
          const std::vector<uint8_t>& bytes = value.Array().Bytes();
          const CByteBlock block(bytes.data(), static_cast<int32_t>(bytes.size()));
          result.AddValue(&block);
          break;
        }
      }
    }
    std::unique_ptr<CByteBlock> body(result.BuildPacket());
    if (!FitsOnePacket(*body)) throw DispatchError(kTooLargeCode, "SendRow: Row too large for one packet");
    Host(self).SendRowReply(body.release());
    return Variant();
  }

  static Variant SetColumnTypes(CRequest& self, std::vector<Variant>& a) {
    if (self.m_pSchema)
      throw DispatchError(105, "You may only call SetColumnTypes once per Service Request");
    const Variant& typesArg = a[0].Deref();
    const Variant& namesArg = a[1].Deref();
    if (!typesArg.IsArray() || !namesArg.IsArray())
      throw DispatchError(100, "SetColumnTypes: Invalid Arguments (must be two arrays)");
    const SafeArray& types = typesArg.Array();
    const SafeArray& names = namesArg.Array();
    if (types.Dims() != 1 || names.Dims() != 1)
      throw DispatchError(102, "SetColumntypes: Arrays must be 1-dimensional");

    const size_t count = types.Size();
    auto schema = std::make_unique<CColumnTypes>(static_cast<int>(count), -1);
    for (size_t i = 0; i < count; ++i) {
      // A names array shorter than the types array has no string here.
      if (i >= names.Size() || ElementType(names, i) != VT_BSTR)
        throw DispatchError(101, "The Names array must contain strings");
      const uint8_t type = ColumnTypeOfElement(ElementType(types, i));
      if (type == 0) throw DispatchError(104, "Invalid column type");
      std::string name = names.GetFlat(i).Text();
      // The client reads a name up to its zero byte.
      name.resize(std::min(name.size(), name.find('\0')));
      schema->AddColumn(type, name);
    }
    std::unique_ptr<CByteBlock> body(schema->BuildPacket());
    if (!FitsOnePacket(*body))
      throw DispatchError(kTooLargeCode, "SetColumnTypes: Schema too large for one packet");
    self.m_pSchema = std::move(schema);
    Host(self).SendSchemaReply(body.release());
    return Variant();
  }

  static Variant PostAudit(CRequest& self, std::vector<Variant>& a) {
    Host(self).PostRequestAudit(a[0].Text(), a[1].Text());
    return Variant();
  }

  static Variant SendFile(CRequest& self, std::vector<Variant>& a) {
    return Variant::Bool(Host(self).StartSendFile(a[0].Text()));
  }

  static Variant ReceiveFile(CRequest& self, std::vector<Variant>& a) {
    return Variant::Bool(Host(self).StartReceiveFile(a[0].Text()));
  }

  static const DispatchTable& Table() {
    static const TypedDispatchTable<CRequest> table = [] {
      TypedDispatchTable<CRequest> t;
      t.Method(1, "SendRow", VT_EMPTY, {VT_VARIANT}, &SendRow);
      t.Method(2, "SetColumnTypes", VT_EMPTY, {VT_VARIANT, VT_VARIANT}, &SetColumnTypes);
      t.Method(3, "PostAudit", VT_EMPTY, {VT_BSTR, VT_BSTR}, &PostAudit);
      t.Method(4, "SendFile", VT_BOOL, {VT_BSTR}, &SendFile);
      t.Method(5, "ReceiveFile", VT_BOOL, {VT_BSTR}, &ReceiveFile);
      return t;
    }();
    return table;
  }
};

CRequest::CRequest(CRequestHost* host) : DispatchObject(CRequestMembers::Table()), m_pHost(host) {
  AddRef();
}

void CRequest::Unlink() {
  m_pHost = nullptr;
  Disconnect();
}

void CRequest::OnFinalRelease() {
  CRequestHost* host = m_pHost;
  m_pHost = nullptr;
  // The host may end the request here, and go with it.
  if (host != nullptr) host->RequestObjectGone();
  delete this;
}
