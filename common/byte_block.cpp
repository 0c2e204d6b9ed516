#include "common/byte_block.h"

#include <cstring>
#include <stdexcept>
#include <utility>

CByteBlock::CByteBlock(const void* bytes, int32_t len) {
  if (len > 0) {
    data = new uint8_t[len];
    if (bytes != nullptr)
      std::memcpy(data, bytes, len);
    else
      std::memset(data, 0, len);
    length = len;
  }
}

CByteBlock::CByteBlock(const CByteBlock& other) : CByteBlock(other.data, other.length) {}

CByteBlock& CByteBlock::operator=(const CByteBlock& other) {
  if (this == &other) return *this;
  CByteBlock copy(other);
  std::swap(length, copy.length);
  std::swap(data, copy.data);
  return *this;
}

CByteBlock::CByteBlock(CByteBlock&& other) noexcept
    : length(std::exchange(other.length, 0)), data(std::exchange(other.data, nullptr)) {}

CByteBlock& CByteBlock::operator=(CByteBlock&& other) noexcept {
  if (this != &other) {
    delete[] data;
    length = std::exchange(other.length, 0);
    data = std::exchange(other.data, nullptr);
  }
  return *this;
}

CByteBlock::~CByteBlock() { delete[] data; }

void CByteBlock::Append(const CByteBlock& other) {
  if (data == other.data) return;
  const int64_t sum = int64_t{length} + other.length;
  if (sum > INT32_MAX) throw std::length_error("byte block too long");
  const auto total = static_cast<int32_t>(sum);
  if (total <= 0) return;
  auto* joined = new uint8_t[total];
  if (length > 0) std::memcpy(joined, data, length);
  if (other.length > 0) std::memcpy(joined + length, other.data, other.length);
  delete[] data;
  data = joined;
  length = total;
}

CByteBlock* CByteBlock::Mid(int32_t position) const {
  if (position < 0) return nullptr;
  if (position >= length) return new CByteBlock();
  return new CByteBlock(data + position, length - position);
}
