// Device-independent bitmaps: a packed DIB is a header (the 40-byte
// Windows header or the older 12-byte core header), a colour table and the
// pixel rows, bottom row first unless the 40-byte header's height is
// negative. These routines read such bytes without trusting them: a DIB is
// checked whole before any pixel is read, and one that does not fit its
// bytes is refused.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qn::manager {

struct Rgb {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
  bool operator==(const Rgb&) const = default;
};

// Left and top inclusive, right and bottom exclusive.
struct DibRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

// Pixels as 0xAARRGGBB (alpha always 0xFF), rows top first.
struct Image32 {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// A packed DIB that has passed the checks: every accessor below stays
// inside `bytes`, which must outlive it.
class PackedDib {
 public:
  // nullopt for anything that is not a whole, uncompressed DIB of 1, 4, 8,
  // 24 or 32 bits per pixel, at most kMaxSide pixels a side.
  static std::optional<PackedDib> Parse(std::span<const uint8_t> bytes);
  // The DIB inside a ".bmp" file (its 14-byte file header first).
  static std::optional<PackedDib> FromBmpFile(std::span<const uint8_t> file);

  static constexpr int kMaxSide = 4096;

  bool IsCoreHeader() const { return coreHeader_; }
  int BitCount() const { return bitCount_; }
  bool TopDown() const { return topDown_; }
  std::span<const uint8_t> Bytes() const { return bytes_; }

 private:
  friend int DIBWidth(const PackedDib&);
  friend int DIBHeight(const PackedDib&);
  friend int DIBNumColors(const PackedDib&);
  friend size_t PaletteSize(const PackedDib&);
  friend std::span<const uint8_t> FindDIBBits(const PackedDib&);
  PackedDib() = default;

  std::span<const uint8_t> bytes_;
  bool coreHeader_ = false;
  bool topDown_ = false;
  int width_ = 0;
  int height_ = 0;
  int bitCount_ = 0;
  int colors_ = 0;
  size_t headerSize_ = 0;
  size_t rowBytes_ = 0;
};

int DIBWidth(const PackedDib& dib);
int DIBHeight(const PackedDib& dib);
// The header's used-colour count when not 0, else 2, 16 or 256 for 1, 4 or
// 8 bits per pixel, else 0.
int DIBNumColors(const PackedDib& dib);
// Bytes of the colour table: 4 per entry with the 40-byte header, 3 with the
// core header.
size_t PaletteSize(const PackedDib& dib);
// The pixel rows.
std::span<const uint8_t> FindDIBBits(const PackedDib& dib);
// The colour table; empty when the DIB has none.
std::vector<Rgb> CreateDIBPalette(const PackedDib& dib);

// The pixels of `source` (top-first coordinates, clipped to the DIB). A
// colour index past the table reads as black.
Image32 DecodeDIB(const PackedDib& dib, const DibRect& source);

// Where PaintDIB draws.
class IDibTarget {
 public:
  virtual ~IDibTarget() = default;
  // The image at its own size, top-left corner at (x, y).
  virtual void SetPixels(int x, int y, const Image32& image) = 0;
  // The image stretched into `dest`, colour on colour (no blending).
  virtual void StretchPixels(const DibRect& dest, const Image32& image) = 0;
};

// Draws `source` of the DIB into `dest`: at its size when both have the same
// size, stretched otherwise.
void PaintDIB(IDibTarget& target, const DibRect& dest, const PackedDib& dib, const DibRect& source);

}  // namespace qn::manager
