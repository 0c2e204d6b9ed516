// A PostgreSQL cluster of the test's own, made by scripts/pg-test-server, for
// tests that stop and start the database server under a running server (the
// shared cluster serves other tests at the same time).
#pragma once
#include <string>

namespace qn::test {

class PrivatePgCluster {
 public:
  PrivatePgCluster() = default;
  // Stops the cluster, removes it and puts the environment back.
  ~PrivatePgCluster();
  PrivatePgCluster(const PrivatePgCluster&) = delete;
  PrivatePgCluster& operator=(const PrivatePgCluster&) = delete;

  // Makes and starts the cluster and points this process's QN_TEST_PG_*
  // at it. False (with the script's output in `error`) when it cannot.
  bool Start(std::string* error);
  // pg_ctl stop (fast: sessions are cut) and start of the same cluster.
  bool Halt();
  bool Resume();

 private:
  bool Control(const std::string& action);

  std::string dir_;
  std::string bin_;
  std::string saved_[4];
};

}  // namespace qn::test
