// The frame decoder gives the same frames however the stream is cut into
// reads, never a frame above the limit, and holds no more than one frame,
// in no more room than that frame declares.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "server/core/frame_decoder.h"

namespace {

struct Outcome {
  std::vector<std::vector<uint8_t>> frames;
  bool tooLong = false;
};

// `lend`: each read is lent from a buffer overwritten once its frames are
// taken, and a cut's low bit makes the reader stop after one frame and have
// the rest kept, as a connection whose replies back up does.
Outcome Decode(const uint8_t* data, size_t size, const uint8_t* cuts, size_t cutCount,
               bool lend = false) {
  qn::FrameDecoder decoder;
  Outcome outcome;
  std::vector<uint8_t> payload;
  std::vector<uint8_t> readBuffer;
  size_t pos = 0, cut = 0;
  while (pos < size && !outcome.tooLong) {
    const uint8_t cutByte = cutCount ? cuts[cut++ % cutCount] : 0;
    size_t piece = cutCount ? 1 + cutByte : size;
    if (piece > size - pos) piece = size - pos;
    const bool stopEarly = lend && (cutByte & 1) != 0;
    if (lend) {
      readBuffer.assign(data + pos, data + pos + piece);
      decoder.Lend(readBuffer.data(), piece);
    } else {
      decoder.Append(data + pos, piece);
    }
    pos += piece;
    for (;;) {
      qn::FrameDecoder::Status status;
      if (lend) {
        const uint8_t* at = nullptr;
        size_t length = 0;
        status = decoder.Next(at, length);
        if (status == qn::FrameDecoder::Status::kFrame) payload.assign(at, at + length);
      } else {
        status = decoder.Next(payload);
      }
      if (stopEarly && status == qn::FrameDecoder::Status::kFrame) {
        outcome.frames.push_back(payload);
        decoder.Keep();
        break;
      }
      if (status == qn::FrameDecoder::Status::kNeedMore) {
        // Between reads only the unfinished frame is held, in its own room.
        if (decoder.Capacity() > 2 + qn::kMaxFrame) std::abort();
        break;
      }
      if (status == qn::FrameDecoder::Status::kTooLong) {
        outcome.tooLong = true;
        break;
      }
      if (payload.size() > qn::kMaxFrame) std::abort();
      outcome.frames.push_back(payload);
    }
    if (lend) std::fill(readBuffer.begin(), readBuffer.end(), 0xEE);
    if (!outcome.tooLong && decoder.Held() > qn::kMaxFrame + 2 + 0x10000) std::abort();
  }
  // Frames kept by a reader that stopped early.
  while (lend && !outcome.tooLong) {
    const auto status = decoder.Next(payload);
    if (status == qn::FrameDecoder::Status::kTooLong) outcome.tooLong = true;
    if (status != qn::FrameDecoder::Status::kFrame) break;
    outcome.frames.push_back(payload);
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first bytes choose how the rest is cut into reads.
  const size_t cutCount = data[0] % 8;
  if (size < 1 + cutCount) return 0;
  const uint8_t* cuts = data + 1;
  const uint8_t* stream = data + 1 + cutCount;
  const size_t length = size - 1 - cutCount;
  const Outcome whole = Decode(stream, length, nullptr, 0);
  const Outcome pieces = Decode(stream, length, cuts, cutCount);
  if (whole.frames != pieces.frames || whole.tooLong != pieces.tooLong) std::abort();
  const Outcome lent = Decode(stream, length, cuts, cutCount, true);
  if (whole.frames != lent.frames || whole.tooLong != lent.tooLong) std::abort();
  return 0;
}
