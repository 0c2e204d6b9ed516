#include "tools/manager/core/dib.h"

#include <algorithm>
#include <climits>

namespace qn::manager {

namespace {

constexpr size_t kCoreHeaderSize = 12;
constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kFileHeaderSize = 14;
constexpr uint32_t kUncompressed = 0;

uint16_t Le16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint32_t Le32(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

bool KnownBitCount(int bits) { return bits == 1 || bits == 4 || bits == 8 || bits == 24 || bits == 32; }

uint32_t Opaque(uint8_t r, uint8_t g, uint8_t b) {
  return 0xFF000000u | static_cast<uint32_t>(r) << 16 | static_cast<uint32_t>(g) << 8 | b;
}

}  // namespace

std::optional<PackedDib> PackedDib::Parse(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  PackedDib dib;
  dib.bytes_ = bytes;
  const uint32_t headerSize = Le32(bytes, 0);
  uint32_t usedColors = 0;
  if (headerSize == kCoreHeaderSize) {
    if (bytes.size() < kCoreHeaderSize) return std::nullopt;
    dib.coreHeader_ = true;
    dib.width_ = Le16(bytes, 4);
    dib.height_ = Le16(bytes, 6);
    if (Le16(bytes, 8) != 1) return std::nullopt;
    dib.bitCount_ = Le16(bytes, 10);
  } else {
    // The later, longer headers begin with the same 40 bytes.
    if (headerSize < kInfoHeaderSize || headerSize > bytes.size()) return std::nullopt;
    const int32_t width = static_cast<int32_t>(Le32(bytes, 4));
    const int32_t height = static_cast<int32_t>(Le32(bytes, 8));
    if (Le16(bytes, 12) != 1 || Le32(bytes, 16) != kUncompressed) return std::nullopt;
    if (height == INT32_MIN) return std::nullopt;
    dib.width_ = width;
    dib.topDown_ = height < 0;
    dib.height_ = height < 0 ? -height : height;
    dib.bitCount_ = Le16(bytes, 14);
    usedColors = Le32(bytes, 32);
  }
  if (!KnownBitCount(dib.bitCount_)) return std::nullopt;
  if (dib.width_ <= 0 || dib.height_ <= 0 || dib.width_ > kMaxSide || dib.height_ > kMaxSide)
    return std::nullopt;
  const uint32_t fullTable = dib.bitCount_ <= 8 ? 1u << dib.bitCount_ : 0;
  if (usedColors > 256 || (fullTable != 0 && usedColors > fullTable)) return std::nullopt;
  dib.colors_ = static_cast<int>(usedColors != 0 ? usedColors : fullTable);
  dib.headerSize_ = headerSize;
  dib.rowBytes_ = (static_cast<size_t>(dib.width_) * dib.bitCount_ + 31) / 32 * 4;
  const size_t needed = dib.headerSize_ + PaletteSize(dib) + dib.rowBytes_ * dib.height_;
  if (needed > bytes.size()) return std::nullopt;
  return dib;
}

std::optional<PackedDib> PackedDib::FromBmpFile(std::span<const uint8_t> file) {
  if (file.size() < kFileHeaderSize + 4 || file[0] != 'B' || file[1] != 'M') return std::nullopt;
  std::optional<PackedDib> dib = Parse(file.subspan(kFileHeaderSize));
  if (!dib) return std::nullopt;
  // The rows must be where the file header says they are.
  const size_t bitsAt = kFileHeaderSize + dib->headerSize_ + PaletteSize(*dib);
  if (Le32(file, 10) != bitsAt) return std::nullopt;
  return dib;
}

int DIBWidth(const PackedDib& dib) { return dib.width_; }
int DIBHeight(const PackedDib& dib) { return dib.height_; }
int DIBNumColors(const PackedDib& dib) { return dib.colors_; }

size_t PaletteSize(const PackedDib& dib) {
  return static_cast<size_t>(dib.colors_) * (dib.coreHeader_ ? 3 : 4);
}

std::span<const uint8_t> FindDIBBits(const PackedDib& dib) {
  return dib.bytes_.subspan(dib.headerSize_ + PaletteSize(dib), dib.rowBytes_ * dib.height_);
}

std::vector<Rgb> CreateDIBPalette(const PackedDib& dib) {
  std::vector<Rgb> table;
  const std::span<const uint8_t> bytes = dib.Bytes();
  const size_t entry = dib.IsCoreHeader() ? 3 : 4;
  const size_t first = FindDIBBits(dib).data() - bytes.data() - PaletteSize(dib);
  table.reserve(DIBNumColors(dib));
  for (int i = 0; i < DIBNumColors(dib); ++i) {
    const size_t at = first + i * entry;
    table.push_back(Rgb{bytes[at + 2], bytes[at + 1], bytes[at]});
  }
  return table;
}

Image32 DecodeDIB(const PackedDib& dib, const DibRect& source) {
  const int width = DIBWidth(dib), height = DIBHeight(dib);
  const int left = std::clamp(source.left, 0, width), right = std::clamp(source.right, left, width);
  const int top = std::clamp(source.top, 0, height), bottom = std::clamp(source.bottom, top, height);
  Image32 image;
  image.width = right - left;
  image.height = bottom - top;
  image.pixels.resize(static_cast<size_t>(image.width) * image.height);
  const std::vector<Rgb> table = CreateDIBPalette(dib);
  const std::span<const uint8_t> bits = FindDIBBits(dib);
  const size_t rowBytes = bits.size() / height;
  const int bitCount = dib.BitCount();
  for (int y = top; y < bottom; ++y) {
    const int stored = dib.TopDown() ? y : height - 1 - y;
    const uint8_t* row = bits.data() + static_cast<size_t>(stored) * rowBytes;
    uint32_t* out = &image.pixels[static_cast<size_t>(y - top) * image.width];
    for (int x = left; x < right; ++x) {
      uint32_t pixel;
      if (bitCount <= 8) {
        const int perByte = 8 / bitCount;
        const int shift = 8 - bitCount * (x % perByte + 1);
        const unsigned index = (row[x / perByte] >> shift) & ((1u << bitCount) - 1);
        pixel = index < table.size() ? Opaque(table[index].red, table[index].green, table[index].blue)
                                     : Opaque(0, 0, 0);
      } else {
        const uint8_t* p = row + static_cast<size_t>(x) * (bitCount / 8);
        pixel = Opaque(p[2], p[1], p[0]);
      }
      *out++ = pixel;
    }
  }
  return image;
}

void PaintDIB(IDibTarget& target, const DibRect& dest, const PackedDib& dib, const DibRect& source) {
  const Image32 image = DecodeDIB(dib, source);
  if (dest.Width() == source.Width() && dest.Height() == source.Height())
    target.SetPixels(dest.left, dest.top, image);
  else
    target.StretchPixels(dest, image);
}

}  // namespace qn::manager
