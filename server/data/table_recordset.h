// A recordset over one table whose columns are data: a column table (name,
// kind and width, member) per class drives the binding, so each table class
// declares only its members and its table.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <variant>
#include <vector>

#include "server/data/recordset.h"

// Column kinds with their bound widths, by the letters of the schema.
struct CColumnType {
  FieldKind kind;
  int width;
};
inline constexpr CColumnType T{FieldKind::Text, 255};    // text
inline constexpr CColumnType M{FieldKind::Text, 32765};  // memo
inline constexpr CColumnType L{FieldKind::Long, 0};
inline constexpr CColumnType I{FieldKind::Int, 0};
inline constexpr CColumnType Y{FieldKind::Byte, 0};
inline constexpr CColumnType B{FieldKind::Bool, 0};
inline constexpr CColumnType D{FieldKind::Date, 0};
inline constexpr CColumnType F{FieldKind::Double, 0};

template <class R>
struct CColumnSpec {
  using Member = std::variant<std::string R::*, int32_t R::*, int16_t R::*, uint8_t R::*,
                              std::time_t R::*, double R::*>;
  const char* name;  // as it stands in the select list: "[UserID]"
  CColumnType type;
  Member member;
};

template <class R>
struct CTableSpec {
  const char* className;
  const char* defaultSQL;      // "[Accounts]"
  const char* defaultConnect;  // used only without a connection
  const char* identity;        // column the database numbers, or ""
  std::vector<CColumnSpec<R>> columns;
};

template <class R>
class CTableRecordset : public CRecordset {
 public:
  explicit CTableRecordset(CDatabase* database) : CRecordset(database) {
    m_nFields = static_cast<int>(R::Spec().columns.size());
    m_nDefaultType = snapshot;
  }

  // The run-time class name ("CAccounts_2").
  static const char* ClassName() { return R::Spec().className; }
  std::string GetDefaultSQL() override { return R::Spec().defaultSQL; }
  std::string GetDefaultConnect() override { return R::Spec().defaultConnect; }

  void DoFieldExchange(CFieldExchange& fx) override {
    R* self = static_cast<R*>(this);
    for (const auto& c : R::Spec().columns) {
      void* address = std::visit([&](auto member) -> void* { return &(self->*member); }, c.member);
      fx.Column(c.name, c.type.kind, c.type.width, address);
    }
  }

 protected:
  std::vector<std::string> KeyColumns() override {
    const char* identity = R::Spec().identity;
    if (identity == nullptr || *identity == 0) return {};
    return {identity};
  }
  std::string IdentityColumn() override {
    const char* identity = R::Spec().identity;
    return identity ? identity : "";
  }
};
