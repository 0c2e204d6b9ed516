// A member's client for end-to-end tests: a connection past the hello and
// one request with its whole reply at a time.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/protocol_client.h"

namespace qn::test {

class Member {
 public:
  bool Open(uint16_t port) { return client.Connect(port) && client.Hello().has_value(); }
  // One request and its whole reply (an empty reply when none came).
  qn::client::TableReply Call(const std::string& service, const std::string& item,
                              const std::vector<std::string>& params = {});
  qn::client::ProtocolClient client;
  uint16_t nextId = 1;
};

// The request ended without a result code.
inline bool Ended(const qn::client::TableReply& reply) { return reply.ended && !reply.result; }
inline uint16_t Code(const qn::client::TableReply& reply) { return reply.result.value_or(0); }
// Everything a reply carried, as text: its result code or end, its schema and
// the bytes of each row; equal texts, equal answers on the wire.
std::string Wire(const qn::client::TableReply& reply);

}  // namespace qn::test
