// The DIB routines on hand-made bitmaps: both headers read alike, every
// depth decodes, and bytes that do not make a whole bitmap are refused
// before any pixel is read.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "tools/manager/core/dib.h"

namespace qn::manager {
namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

std::vector<Rgb> ThreeColours() { return {Rgb{255, 0, 0}, Rgb{0, 255, 0}, Rgb{0, 0, 255}}; }

struct DibShape {
  bool core = false;
  int width = 3;
  int height = 2;  // negative: top-down (40-byte header only)
  int bits = 8;
  uint32_t used = 0;
  std::vector<Rgb> table = ThreeColours();
  std::vector<Bytes> rows;  // as stored, bottom first unless top-down; padded here
};

Bytes Make(const DibShape& s) {
  Bytes b;
  if (s.core) {
    Put32(b, 12);
    Put16(b, s.width);
    Put16(b, s.height);
    Put16(b, 1);
    Put16(b, s.bits);
  } else {
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(s.width));
    Put32(b, static_cast<uint32_t>(s.height));
    Put16(b, 1);
    Put16(b, s.bits);
    for (uint32_t v : {0u, 0u, 0u, 0u}) Put32(b, v);
    Put32(b, s.used);
    Put32(b, 0);
  }
  for (const Rgb& c : s.table) {
    b.push_back(c.blue);
    b.push_back(c.green);
    b.push_back(c.red);
    if (!s.core) b.push_back(0);
  }
  for (Bytes row : s.rows) {
    while (row.size() % 4) row.push_back(0);
    b.insert(b.end(), row.begin(), row.end());
  }
  return b;
}

constexpr uint32_t kRed = 0xFFFF0000, kGreen = 0xFF00FF00, kBlue = 0xFF0000FF, kBlack = 0xFF000000;

Image32 DecodeAll(const PackedDib& dib) { return DecodeDIB(dib, {0, 0, DIBWidth(dib), DIBHeight(dib)}); }

TEST(Dib, BothHeadersReadTheSameBitmap) {
  for (bool core : {false, true}) {
    DibShape s;
    s.core = core;
    s.used = 3;
    if (core) s.table.resize(256, Rgb{9, 9, 9});  // the core header always has the full table
    s.rows = {{0, 1, 2}, {2, 2, 0}};
    const Bytes bytes = Make(s);
    auto dib = PackedDib::Parse(bytes);
    ASSERT_TRUE(dib) << core;
    EXPECT_EQ(dib->IsCoreHeader(), core);
    EXPECT_EQ(DIBWidth(*dib), 3);
    EXPECT_EQ(DIBHeight(*dib), 2);
    EXPECT_EQ(DIBNumColors(*dib), core ? 256 : 3);
    EXPECT_EQ(PaletteSize(*dib), core ? 768u : 12u);
    EXPECT_EQ(FindDIBBits(*dib).size(), 8u);
    const std::vector<Rgb> palette = CreateDIBPalette(*dib);
    ASSERT_GE(palette.size(), 3u);
    EXPECT_EQ(palette[1], (Rgb{0, 255, 0}));
    const Image32 image = DecodeAll(*dib);
    // Bottom row first in the file.
    EXPECT_EQ(image.pixels, (std::vector<uint32_t>{kBlue, kBlue, kRed, kRed, kGreen, kBlue}));
  }
}

TEST(Dib, EveryDepthDecodesAndTopDownKeepsItsOrder) {
  DibShape one;
  one.bits = 1;
  one.width = 10;
  one.height = -1;
  one.table = {{0, 0, 0}, {255, 255, 255}};
  one.rows = {{0b10100000, 0b01000000}};
  // Parse keeps a view of the bytes: they must outlive it.
  const Bytes oneBytes = Make(one);
  auto dib1 = PackedDib::Parse(oneBytes);
  ASSERT_TRUE(dib1);
  EXPECT_TRUE(dib1->TopDown());
  const Image32 i1 = DecodeAll(*dib1);
  EXPECT_EQ(i1.At(0, 0), 0xFFFFFFFF);
  EXPECT_EQ(i1.At(1, 0), kBlack);
  EXPECT_EQ(i1.At(2, 0), 0xFFFFFFFF);
  EXPECT_EQ(i1.At(9, 0), 0xFFFFFFFF);

  DibShape four;
  four.bits = 4;
  four.height = 1;
  four.used = 2;
  four.table = {{255, 0, 0}, {0, 255, 0}};
  four.rows = {{0x01, 0xF0}};  // index 15 is past the table: black
  const Bytes fourBytes = Make(four);
  auto dib4 = PackedDib::Parse(fourBytes);
  ASSERT_TRUE(dib4);
  EXPECT_EQ(DecodeAll(*dib4).pixels, (std::vector<uint32_t>{kRed, kGreen, kBlack}));

  DibShape deep;
  deep.bits = 24;
  deep.width = 2;
  deep.height = 1;
  deep.table.clear();
  deep.rows = {{0x30, 0x20, 0x10, 0xFF, 0xEE, 0xDD}};
  const Bytes deepBytes = Make(deep);
  auto dib24 = PackedDib::Parse(deepBytes);
  ASSERT_TRUE(dib24);
  EXPECT_TRUE(CreateDIBPalette(*dib24).empty());
  EXPECT_EQ(DecodeAll(*dib24).pixels, (std::vector<uint32_t>{0xFF102030, 0xFFDDEEFF}));

  // A source rectangle is clipped to the bitmap.
  const Image32 part = DecodeDIB(*dib24, {1, -5, 9, 9});
  EXPECT_EQ(part.width, 1);
  EXPECT_EQ(part.pixels, std::vector<uint32_t>{0xFFDDEEFF});
}

TEST(Dib, BytesThatAreNoWholeBitmapAreRefused) {
  DibShape s;
  s.used = 3;
  s.rows = {{0, 1, 2}, {2, 2, 0}};
  const Bytes whole = Make(s);
  for (size_t n = 0; n < whole.size(); ++n) {
    const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(n));
    EXPECT_FALSE(PackedDib::Parse(cut)) << n;
  }
  auto patched = [&](size_t at, uint32_t value, int bytes) {
    Bytes b = whole;
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return b;
  };
  struct Bad {
    const char* what;
    Bytes bytes;
  };
  for (const Bad& bad : {Bad{"header size 13", patched(0, 13, 4)}, Bad{"header past the end", patched(0, 4000, 4)},
                         Bad{"width 0", patched(4, 0, 4)}, Bad{"negative width", patched(4, 0xFFFFFFFF, 4)},
                         Bad{"height 0", patched(8, 0, 4)}, Bad{"height INT32_MIN", patched(8, 0x80000000, 4)},
                         Bad{"huge height", patched(8, 100000, 4)}, Bad{"two planes", patched(12, 2, 2)},
                         Bad{"16 bits", patched(14, 16, 2)}, Bad{"run-length", patched(16, 1, 4)},
                         Bad{"more colours than 8 bits", patched(32, 257, 4)},
                         Bad{"colours past the end", patched(32, 256, 4)}}) {
    EXPECT_FALSE(PackedDib::Parse(bad.bytes)) << bad.what;
  }

  Bytes file{'B', 'M'};
  Put32(file, 14 + static_cast<uint32_t>(whole.size()));
  Put32(file, 0);
  Put32(file, 14 + 40 + 12);
  file.insert(file.end(), whole.begin(), whole.end());
  EXPECT_TRUE(PackedDib::FromBmpFile(file));
  file[10] = 0;  // rows elsewhere than after the table
  EXPECT_FALSE(PackedDib::FromBmpFile(file));
  file[0] = 'X';
  EXPECT_FALSE(PackedDib::FromBmpFile(file));
}

TEST(Dib, PaintDibCopiesAtTheSameSizeAndStretchesOtherwise) {
  struct Target : IDibTarget {
    void SetPixels(int x, int y, const Image32& image) override { calls.push_back({"set", x, y, image.width}); }
    void StretchPixels(const DibRect& d, const Image32& image) override {
      calls.push_back({"stretch", d.Width(), d.Height(), image.width});
    }
    struct Call {
      std::string kind;
      int a, b, width;
    };
    std::vector<Call> calls;
  } target;
  DibShape s;
  s.used = 3;
  s.rows = {{0, 1, 2}, {2, 2, 0}};
  const Bytes bytes = Make(s);
  auto dib = PackedDib::Parse(bytes);
  ASSERT_TRUE(dib);
  PaintDIB(target, {2, 2, 5, 4}, *dib, {0, 0, 3, 2});
  PaintDIB(target, {0, 0, 30, 20}, *dib, {0, 0, 3, 2});
  ASSERT_EQ(target.calls.size(), 2u);
  EXPECT_EQ(target.calls[0].kind, "set");
  EXPECT_EQ(target.calls[0].a, 2);
  EXPECT_EQ(target.calls[1].kind, "stretch");
  EXPECT_EQ(target.calls[1].a, 30);
}

}  // namespace
}  // namespace qn::manager
