// An owned run of bytes: every packet payload, reply body and file piece.
#pragma once
#include <cstdint>

class CByteBlock {
 public:
  CByteBlock() = default;
  // Copies `length` bytes; a length of 0 or less gives an empty block.
  CByteBlock(const void* bytes, int32_t length);
  CByteBlock(const CByteBlock& other);
  CByteBlock& operator=(const CByteBlock& other);
  CByteBlock(CByteBlock&& other) noexcept;
  CByteBlock& operator=(CByteBlock&& other) noexcept;
  ~CByteBlock();

  // This block's bytes followed by the other's, in a fresh buffer. Nothing
  // happens when both blocks share one buffer (self, or two empty blocks).
  // Throws std::length_error when the sum exceeds the 32-bit length.
  void Append(const CByteBlock& other);
  // The bytes from `position` to the end: empty at or past the end, null for
  // a negative position. The caller owns the result.
  CByteBlock* Mid(int32_t position) const;

  int32_t length = 0;
  uint8_t* data = nullptr;
};
