#include "common/monitor_driver.h"

#include <algorithm>
#include <climits>

#include "platform/automation/runtime.h"

using namespace qn::automation;

COleException::COleException(Status sc)
    : std::runtime_error("automation status " + StatusText(sc)), m_sc(sc) {}

COleDispatchException::COleDispatchException(int32_t code, std::string source,
                                             std::string description)
    : std::runtime_error(description),
      m_wCode(code),
      m_strSource(std::move(source)),
      m_strDescription(std::move(description)) {}

bool CMonitorDriver::CreateDispatch(std::chrono::milliseconds limit, Status* status) {
  m_lpDispatch.reset();
  // The runtime counts in int milliseconds; a longer limit is the longest it takes.
  const int ms = static_cast<int>(std::clamp<int64_t>(limit.count(), 1, INT_MAX));
  Ref<IDispatch> object;
  const Status s = CreateObject(kProgID, &object, ms);
  if (status != nullptr) *status = s;
  if (s != kOk) return false;
  m_lpDispatch = std::move(object);
  return true;
}

void CMonitorDriver::ReleaseDispatch() { m_lpDispatch.reset(); }

Variant CMonitorDriver::InvokeHelper(DispId id, uint16_t resultType, std::vector<Variant>& args) {
  if (!m_lpDispatch) throw COleException(kUnexpected);
  Variant result;
  ExcepInfo exception;
  const Status s = m_lpDispatch->Invoke(id, DISPATCH_METHOD, args, &result, &exception);
  if (s == kException)
    throw COleDispatchException(exception.code, exception.source, exception.description);
  if (s != kOk) throw COleException(s);
  if (resultType == VT_EMPTY) return Variant();
  Variant converted;
  if (const Status c = ChangeType(result, resultType, &converted); c != kOk) throw COleException(c);
  return converted;
}

long CMonitorDriver::InvokeLong(DispId id, std::vector<Variant> args) {
  return static_cast<long>(InvokeHelper(id, VT_I4, args).Integer());
}

long CMonitorDriver::Bind(IDispatch* sink) {
  return InvokeLong(1, {Variant::Dispatch(Ref<IDispatch>(sink))});
}

std::string CMonitorDriver::GetTimeUp() {
  std::vector<Variant> none;
  return InvokeHelper(2, VT_BSTR, none).Text();
}

long CMonitorDriver::GetNbrUsersOnline() { return InvokeLong(3, {}); }

long CMonitorDriver::SendGlobalMsgToAll(const std::string& text, short style) {
  return InvokeLong(4, {Variant::Bstr(text), Variant::I2(style)});
}

long CMonitorDriver::SendGlobalMsgToUserID(const std::string& userId, const std::string& text,
                                           short style) {
  return InvokeLong(5, {Variant::Bstr(userId), Variant::Bstr(text), Variant::I2(style)});
}

long CMonitorDriver::KillUser(const std::string& userId) {
  return InvokeLong(6, {Variant::Bstr(userId)});
}

void CMonitorDriver::AllowNewConnections(bool allow) {
  std::vector<Variant> args{Variant::Bool(allow)};
  InvokeHelper(7, VT_EMPTY, args);
}

long CMonitorDriver::GetNbrConnections() { return InvokeLong(9, {}); }

long CMonitorDriver::GetUserProfile(short index, std::string& userId, std::string& lastName,
                                    std::string& firstName, std::string& connection,
                                    std::string& timeOnline, long& credits) {
  // The callee writes through references into this storage, which stays put
  // while `args` points at it.
  Variant values[6] = {Variant::Bstr(userId),     Variant::Bstr(lastName),
                       Variant::Bstr(firstName),  Variant::Bstr(connection),
                       Variant::Bstr(timeOnline), Variant::I4(static_cast<int32_t>(credits))};
  std::vector<Variant> args{Variant::I2(index)};
  for (Variant& v : values) args.push_back(Variant::ByRef(&v));
  const long result = static_cast<long>(InvokeHelper(10, VT_I4, args).Integer());
  std::string* texts[5] = {&userId, &lastName, &firstName, &connection, &timeOnline};
  for (int i = 0; i < 5; ++i) {
    if (values[i].vt() == VT_BSTR) *texts[i] = values[i].Text();
  }
  if (values[5].vt() == VT_I4) credits = static_cast<long>(values[5].Integer());
  return result;
}

double CMonitorDriver::GetServerStartTime() {
  std::vector<Variant> none;
  return InvokeHelper(11, VT_DATE, none).Real();
}

long CMonitorDriver::GetNbrUsersOnlineNoSynch() { return InvokeLong(12, {}); }

void CMonitorDriver::LockUserList() {
  std::vector<Variant> none;
  InvokeHelper(13, VT_EMPTY, none);
}

void CMonitorDriver::UnlockUserList() {
  std::vector<Variant> none;
  InvokeHelper(14, VT_EMPTY, none);
}
