// The frame decoder gives the same frames however the stream is cut into
// reads, never a frame above the limit, and holds no more than one frame,
// in no more room than that frame declares.
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

Outcome Decode(const uint8_t* data, size_t size, const uint8_t* cuts, size_t cutCount) {
  qn::FrameDecoder decoder;
  Outcome outcome;
  std::vector<uint8_t> payload;
  size_t pos = 0, cut = 0;
  while (pos < size && !outcome.tooLong) {
    size_t piece = cutCount ? 1 + cuts[cut++ % cutCount] : size;
    if (piece > size - pos) piece = size - pos;
    decoder.Append(data + pos, piece);
    pos += piece;
    for (;;) {
      const auto status = decoder.Next(payload);
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
    if (!outcome.tooLong && decoder.Held() > qn::kMaxFrame + 2 + 0x10000) std::abort();
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
  return 0;
}
