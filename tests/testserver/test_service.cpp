// A service of the test build only: drives requests, follow-ups, file
// transfers and streaming through the server until the member services
// exist. Items:
//   Echo      params -> schema of one string column, a row per parameter, end
//   Fail      -> the first parameter as result code
//   Throw     -> an exception inside the service
//   Wait      stays open; each follow-up's parameters come back as one row
//   SendFile  path -> the file in rows
//   ReceiveFile path -> the upload into the file, replacing one of its name
//   ReceiveNew path -> the upload into the file while no file has its name
//   Queued    -> one row: how many sends had their last row queued so far
//   Stream    [n] rows with a counter (and n filler bytes) from a pulse until
//             cancelled
//   Flood     n -> n rows of 30000 bytes queued at once
//   Huge      -> a reply body of 70000 bytes, then the end
//   ThrowInStep -> a schema, then an exception in the first continued step
//   Statements -> one row: the statements every pooled database connection
//             has run so far, and the members logged on
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/byte_block.h"
#include "common/pulse.h"
#include "server/core/request_context.h"
#include "server/core/result_set.h"
#include "server/core/service_base.h"
#include "server/core/service_factory.h"
#include "server/core/transport_base.h"
#include "server/core/user.h"
#include "server/data/connection_pool.h"

namespace {

constexpr int kFileFailed = 0x7001;

class CServiceTest : public CServiceBase {
 public:
  ~CServiceTest() override { CPulse::Stop(m_pPulse); }
  bool IsAvailable() override { return true; }

  int ProcessRequest() override {
    const std::string& item = GetItem();
    if (item == "Echo") return Echo();
    if (item == "Fail") {
      int32_t code = 0;
      GetNextParamLong(code);
      return code;
    }
    if (item == "Throw") throw std::runtime_error("test failure");
    if (item == "Wait") return 0;
    if (item == "SendFile" || item == "ReceiveFile" || item == "ReceiveNew") {
      std::string path;
      if (int rc = GetNextParam(path)) return rc;
      const bool started = item == "SendFile"      ? SendFile(path, false)
                           : item == "ReceiveFile" ? ReceiveFile(path)
                                                   : ReceiveFile(path, ReceiveName::kKeepExisting);
      return started ? 0 : kFileFailed;
    }
    if (item == "Queued") {
      CColumnTypes schema(1, 1);
      schema.AddColumn(kColumnLong, "Queued");
      GetRequest()->SendData(schema.BuildPacket());
      CResultRow row(schema);
      row.AddValue(&s_nSendsQueued);
      GetRequest()->SendMoreData(row.BuildPacket());
      GetRequest()->EndRequest();
      return 0;
    }
    if (item == "Stream") {
      int32_t filler = 0;
      GetNextParamLong(filler);
      m_filler.assign(static_cast<size_t>(filler > 0 && filler < 30000 ? filler : 0), 'f');
      CColumnTypes schema(2, -1);
      schema.AddColumn(kColumnLong, "Counter");
      schema.AddColumn(kColumnBinary, "Filler");
      m_schema = std::make_unique<CColumnTypes>(schema);
      GetRequest()->SendData(schema.BuildPacket());
      m_pPulse = new CPulse(&CServiceBase::PulseCallback, this);
      return 0;
    }
    if (item == "ThrowInStep") {
      CColumnTypes schema(1, -1);
      schema.AddColumn(kColumnLong, "Counter");
      GetRequest()->SendData(schema.BuildPacket());
      m_bThrowInStep = true;
      m_pPulse = new CPulse(&CServiceBase::PulseCallback, this);
      return 0;
    }
    if (item == "Flood") return Flood();
    if (item == "Statements") {
      CColumnTypes schema(2, 1);
      schema.AddColumn(kColumnLong, "Statements");
      schema.AddColumn(kColumnLong, "Members");
      GetRequest()->SendData(schema.BuildPacket());
      CResultRow row(schema);
      const int32_t statements = static_cast<int32_t>(PooledStatementCount());
      const int32_t members = GetUserCount();
      row.AddValue(&statements);
      row.AddValue(&members);
      GetRequest()->SendMoreData(row.BuildPacket());
      GetRequest()->EndRequest();
      return 0;
    }
    if (item == "Huge") {
      const std::string body(70000, 'h');
      GetRequest()->SendData(new CByteBlock(body.data(), static_cast<int32_t>(body.size())));
      GetRequest()->EndRequest();
      return 0;
    }
    return 0x1303;
  }

  void ContinueRequest() override {
    if (m_bThrowInStep) throw std::runtime_error("step failure");
    if (RestWhileBacklogged(m_pPulse)) return;
    CResultRow row(*m_schema);
    const int32_t counter = m_nCounter++;
    const CByteBlock filler(m_filler.data(), static_cast<int32_t>(m_filler.size()));
    row.AddValue(&counter);
    row.AddValue(&filler);
    GetRequest()->SendMoreData(row.BuildPacket());
  }

  void OnSendFileQueued() override { ++s_nSendsQueued; }

  int OnMoreParams() override {
    CColumnTypes schema(1, 1);
    schema.AddColumn(kColumnString, "Params");
    CResultRow row(schema);
    std::string text = std::to_string(GetParamCount());
    for (int i = 0; i < GetParamCount(); ++i) {
      std::string param;
      GetParam(i, param);
      text += "|" + param;
    }
    row.AddValue(&text);
    GetRequest()->SendMoreData(row.BuildPacket());
    return 0;
  }

 private:
  int Echo() {
    const int count = GetParamCount();
    CColumnTypes schema(1, count);
    schema.AddColumn(kColumnString, "Param");
    GetRequest()->SendData(schema.BuildPacket());
    for (int i = 0; i < count; ++i) {
      std::string param;
      GetParam(i, param);
      CResultRow row(schema);
      row.AddValue(&param);
      GetRequest()->SendMoreData(row.BuildPacket());
    }
    GetRequest()->EndRequest();
    return 0;
  }

  int Flood() {
    int32_t rows = 0;
    if (int rc = GetNextParamLong(rows)) return rc;
    CColumnTypes schema(1, rows);
    schema.AddColumn(kColumnBinary, "Data");
    GetRequest()->SendData(schema.BuildPacket());
    const std::string filler(30000, 'x');
    const CByteBlock value(filler.data(), static_cast<int32_t>(filler.size()));
    for (int32_t i = 0; i < rows; ++i) {
      CResultRow row(schema);
      row.AddValue(&value);
      GetRequest()->SendMoreData(row.BuildPacket());
    }
    GetRequest()->EndRequest();
    return 0;
  }

  static inline int32_t s_nSendsQueued = 0;
  CPulse* m_pPulse = nullptr;
  std::unique_ptr<CColumnTypes> m_schema;
  int32_t m_nCounter = 0;
  std::string m_filler;
  bool m_bThrowInStep = false;
};

// A class that cannot even be made.
class CServiceTestBroken : public CServiceBase {
 public:
  CServiceTestBroken() { throw std::runtime_error("cannot be made"); }
  bool IsAvailable() override { return true; }
  int ProcessRequest() override { return 0; }
};

class CServiceTestOff : public CServiceBase {
 public:
  bool IsAvailable() override { return false; }
  int ProcessRequest() override { return 0; }
};

}  // namespace

QN_REGISTER_SERVICE(CServiceTest);
QN_REGISTER_SERVICE(CServiceTestOff);
QN_REGISTER_SERVICE(CServiceTestBroken);
