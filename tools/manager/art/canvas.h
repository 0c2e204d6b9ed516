// A small 8-bit picture for the build-time drawing of the manager's bitmaps:
// one fixed 256-colour table, drawing in colours that map to their nearest
// entry, and the picture written as a ".bmp" file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qn::manager::art {

struct Color {
  uint8_t r = 0, g = 0, b = 0;
};

// The one colour table of every bitmap: a 6x6x6 cube, sixteen greys, the
// button greys, two ramps for the globe (sea, land) and, last, the index
// that marks "nothing drawn here" in a glyph before it is laid on a face.
inline constexpr uint8_t kClear = 255;
const std::vector<Color>& Palette();
uint8_t Nearest(Color color);

inline constexpr Color kBlack{0, 0, 0};
inline constexpr Color kWhite{255, 255, 255};
inline constexpr Color kFace{192, 192, 192};
inline constexpr Color kShadow{128, 128, 128};
// The globe's ramps: level 0 (darkest) to 7.
Color Sea(int level);
Color Land(int level);

class Canvas {
 public:
  Canvas(int width, int height, uint8_t fill = kClear);

  int width() const { return width_; }
  int height() const { return height_; }
  uint8_t At(int x, int y) const { return pixels_[static_cast<size_t>(y) * width_ + x]; }
  void SetIndex(int x, int y, uint8_t index);
  void Set(int x, int y, Color color) { SetIndex(x, y, Nearest(color)); }

  void Fill(int left, int top, int right, int bottom, Color color);  // right, bottom exclusive
  void Frame(int left, int top, int right, int bottom, Color color);
  void Line(int x0, int y0, int x1, int y1, Color color);
  void ThickLine(int x0, int y0, int x1, int y1, Color color, int width);
  // Centre and radii in pixels; pixel centres inside the ellipse are set.
  void FillEllipse(double cx, double cy, double rx, double ry, Color color);
  void EllipseOutline(double cx, double cy, double rx, double ry, Color color);
  // Even-odd fill of a closed outline.
  void FillPolygon(const std::vector<std::pair<double, double>>& points, Color color);
  // Rows of a small pixel pattern ('#' set), each cell `scale` pixels.
  void Pattern(int left, int top, const std::vector<std::string>& rows, Color color, int scale);
  // Every pixel of `glyph` but kClear, moved by (dx, dy).
  void Lay(const Canvas& glyph, int dx, int dy);

  // The ".bmp" file: file header, 40-byte header, the whole colour table,
  // rows bottom first, each padded to four bytes.
  std::vector<uint8_t> Bmp() const;

 private:
  int width_, height_;
  std::vector<uint8_t> pixels_;
};

}  // namespace qn::manager::art
