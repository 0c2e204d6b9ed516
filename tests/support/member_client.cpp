#include "support/member_client.h"

namespace qn::test {

qn::client::TableReply Member::Call(const std::string& service, const std::string& item,
                                    const std::vector<std::string>& params) {
  const uint16_t id = nextId++;
  EXPECT_TRUE(client.Request(id, service, item, qn::client::Params(params)));
  auto reply = qn::client::ReadTable(client, id, 10000);
  EXPECT_TRUE(reply.has_value()) << service << " " << item;
  return reply.value_or(qn::client::TableReply{});
}

std::string Wire(const qn::client::TableReply& reply) {
  std::string text = reply.result ? "code " + std::to_string(*reply.result) : "";
  if (reply.ended) text += "ended";
  if (reply.schema) {
    text += "; rows " + std::to_string(reply.schema->rowCount);
    for (const CColumnDef& column : reply.schema->columns)
      text += ", " + std::to_string(column.type) + " " + column.name;
  }
  static const char kHex[] = "0123456789abcdef";
  for (const qn::client::Bytes& row : reply.rawRows) {
    text += "\n";
    for (uint8_t byte : row) {
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    }
  }
  return text;
}

}  // namespace qn::test
