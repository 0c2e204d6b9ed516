// A service's multi-row reply on its way: the first share of rows inside the
// request's own turn, then a bounded share per pulse step, a rest while the
// client has not read what is queued, the end after the last row, and a
// result code when a step cannot be read. A service hands its list as a
// CRowSource to CServiceBase::StreamRows, which owns the stream.
#pragma once
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

class CPulse;
class CServiceBase;

// A list as the row stream reads it. Any call may throw: the list then ends
// with the code `failureCode` gives for what was thrown.
struct CRowSource {
  // The current level (a flat list is one level) has no row left.
  std::function<bool()> atEnd;
  // Sends the current row, or passes over one that is not to be shown, and
  // moves to the next.
  std::function<void()> sendRow;
  // Lists that come in levels (folder trees): opens the next level; false
  // when none is left. Empty for a flat list.
  std::function<bool()> nextLevel;
  // Runs once every row is out, before the end is sent. May be empty.
  std::function<void()> finish;
  // The code of a failed step; empty: 0x1306.
  std::function<uint16_t(const std::exception&)> failureCode;
};

// The list of a recordset, or of a folder walk (anything with IsEOF, and
// NextLevel when it comes in levels), that the service holds in `source`:
// `sendRow` sends the current row and moves on. The source is freed once the
// list is complete, so that a statement's cursor goes back before the end
// is sent.
template <class Source>
CRowSource RowsOf(std::unique_ptr<Source>& source, std::function<void()> sendRow) {
  CRowSource rows;
  rows.atEnd = [&source] { return source->IsEOF(); };
  rows.sendRow = std::move(sendRow);
  if constexpr (requires { source->NextLevel(); }) rows.nextLevel = [&source] { return source->NextLevel(); };
  rows.finish = [&source] { source.reset(); };
  return rows;
}

class CRowStream {
 public:
  // Rows (passed-over ones and levels opened included) one step takes at
  // most, so that a long list never holds the loop and a step's rows leave
  // in one write.
  static constexpr int kUnitsPerStep = 32;

  CRowStream(CServiceBase* service, CRowSource source);
  // A cancel or a lost connection mid-list: no step follows.
  ~CRowStream();
  CRowStream(const CRowStream&) = delete;
  CRowStream& operator=(const CRowStream&) = delete;

  // The first step, inside the request's own turn; a pulse takes the rest.
  // 0, or the code of a first step that failed: nothing more is sent, and
  // the service returns the code as the request's result.
  int Start();
  // The connection's queue has room again: a resting stream goes on.
  void OnOutputDrained();

 private:
  static void PulseStep(void* stream);
  // One step's share; false once the list is complete (the request has
  // ended, and in a pulse step the service and this stream with it).
  bool Step();
  uint16_t FailureCode(const std::exception* error) const;

  CServiceBase* m_pService;
  CRowSource m_source;
  CPulse* m_pPulse = nullptr;
  bool m_bResting = false;
};
