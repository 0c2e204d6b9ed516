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

}  // namespace qn::test
