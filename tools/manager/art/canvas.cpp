#include "tools/manager/art/canvas.h"

#include <algorithm>
#include <cmath>

namespace qn::manager::art {

namespace {

std::vector<Color> MakePalette() {
  std::vector<Color> table;
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b)
        table.push_back(Color{static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 51), static_cast<uint8_t>(b * 51)});
  for (int i = 0; i < 16; ++i) {
    const auto v = static_cast<uint8_t>(i * 17);
    table.push_back(Color{v, v, v});
  }
  table.push_back(kFace);
  table.push_back(kShadow);
  table.push_back(Color{255, 255, 128});
  for (int i = 0; i < 8; ++i) table.push_back(Sea(i));
  for (int i = 0; i < 8; ++i) table.push_back(Land(i));
  while (table.size() < 255) table.push_back(Color{128, 64, 0});
  table.push_back(Color{255, 0, 255});  // kClear: never in a finished bitmap
  return table;
}

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

}  // namespace

Color Sea(int level) {
  return Color{static_cast<uint8_t>(10 + level * 10), static_cast<uint8_t>(40 + level * 22),
               static_cast<uint8_t>(90 + level * 23)};
}

Color Land(int level) {
  return Color{static_cast<uint8_t>(30 + level * 18), static_cast<uint8_t>(80 + level * 22),
               static_cast<uint8_t>(20 + level * 10)};
}

const std::vector<Color>& Palette() {
  static const std::vector<Color> table = MakePalette();
  return table;
}

uint8_t Nearest(Color color) {
  const std::vector<Color>& table = Palette();
  int best = 0;
  long bestDistance = -1;
  for (int i = 0; i < kClear; ++i) {
    const long dr = table[i].r - color.r, dg = table[i].g - color.g, db = table[i].b - color.b;
    const long distance = dr * dr + dg * dg + db * db;
    if (bestDistance < 0 || distance < bestDistance) {
      best = i;
      bestDistance = distance;
    }
  }
  return static_cast<uint8_t>(best);
}

Canvas::Canvas(int width, int height, uint8_t fill)
    : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height, fill) {}

void Canvas::SetIndex(int x, int y, uint8_t index) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  pixels_[static_cast<size_t>(y) * width_ + x] = index;
}

void Canvas::Fill(int left, int top, int right, int bottom, Color color) {
  const uint8_t index = Nearest(color);
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < right; ++x) SetIndex(x, y, index);
}

void Canvas::Frame(int left, int top, int right, int bottom, Color color) {
  Line(left, top, right - 1, top, color);
  Line(left, bottom - 1, right - 1, bottom - 1, color);
  Line(left, top, left, bottom - 1, color);
  Line(right - 1, top, right - 1, bottom - 1, color);
}

void Canvas::Line(int x0, int y0, int x1, int y1, Color color) {
  const uint8_t index = Nearest(color);
  const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
  const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
  int error = dx + dy;
  for (;;) {
    SetIndex(x0, y0, index);
    if (x0 == x1 && y0 == y1) return;
    const int twice = 2 * error;
    if (twice >= dy) {
      error += dy;
      x0 += sx;
    }
    if (twice <= dx) {
      error += dx;
      y0 += sy;
    }
  }
}

void Canvas::ThickLine(int x0, int y0, int x1, int y1, Color color, int width) {
  for (int i = 0; i < width; ++i)
    for (int j = 0; j < width; ++j) Line(x0 + i, y0 + j, x1 + i, y1 + j, color);
}

void Canvas::FillEllipse(double cx, double cy, double rx, double ry, Color color) {
  const uint8_t index = Nearest(color);
  for (int y = 0; y < height_; ++y)
    for (int x = 0; x < width_; ++x) {
      const double u = (x + 0.5 - cx) / rx, v = (y + 0.5 - cy) / ry;
      if (u * u + v * v <= 1.0) SetIndex(x, y, index);
    }
}

void Canvas::EllipseOutline(double cx, double cy, double rx, double ry, Color color) {
  const uint8_t index = Nearest(color);
  const int steps = static_cast<int>(8 * (rx + ry)) + 8;
  for (int i = 0; i < steps; ++i) {
    const double a = 2 * M_PI * i / steps;
    SetIndex(static_cast<int>(std::floor(cx + rx * std::cos(a))), static_cast<int>(std::floor(cy + ry * std::sin(a))),
             index);
  }
}

void Canvas::FillPolygon(const std::vector<std::pair<double, double>>& points, Color color) {
  const uint8_t index = Nearest(color);
  for (int y = 0; y < height_; ++y) {
    const double py = y + 0.5;
    std::vector<double> crossings;
    for (size_t i = 0; i < points.size(); ++i) {
      const auto [x0, y0] = points[i];
      const auto [x1, y1] = points[(i + 1) % points.size()];
      if ((y0 <= py) != (y1 <= py)) crossings.push_back(x0 + (py - y0) * (x1 - x0) / (y1 - y0));
    }
    std::sort(crossings.begin(), crossings.end());
    for (size_t i = 0; i + 1 < crossings.size(); i += 2)
      for (int x = 0; x < width_; ++x)
        if (x + 0.5 >= crossings[i] && x + 0.5 < crossings[i + 1]) SetIndex(x, y, index);
  }
}

void Canvas::Pattern(int left, int top, const std::vector<std::string>& rows, Color color, int scale) {
  for (size_t row = 0; row < rows.size(); ++row)
    for (size_t col = 0; col < rows[row].size(); ++col)
      if (rows[row][col] == '#')
        Fill(left + static_cast<int>(col) * scale, top + static_cast<int>(row) * scale,
             left + static_cast<int>(col + 1) * scale, top + static_cast<int>(row + 1) * scale, color);
}

void Canvas::Lay(const Canvas& glyph, int dx, int dy) {
  for (int y = 0; y < glyph.height(); ++y)
    for (int x = 0; x < glyph.width(); ++x)
      if (glyph.At(x, y) != kClear) SetIndex(x + dx, y + dy, glyph.At(x, y));
}

std::vector<uint8_t> Canvas::Bmp() const {
  const std::vector<Color>& table = Palette();
  const uint32_t rowBytes = (static_cast<uint32_t>(width_) + 3) / 4 * 4;
  const uint32_t bitsAt = 14 + 40 + 256 * 4;
  std::vector<uint8_t> out;
  out.push_back('B');
  out.push_back('M');
  Put32(out, bitsAt + rowBytes * height_);
  Put32(out, 0);
  Put32(out, bitsAt);
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(width_));
  Put32(out, static_cast<uint32_t>(height_));
  Put16(out, 1);
  Put16(out, 8);
  Put32(out, 0);  // uncompressed
  Put32(out, rowBytes * height_);
  Put32(out, 2835);  // 72 dots per inch
  Put32(out, 2835);
  Put32(out, 256);
  Put32(out, 0);
  for (const Color& c : table) {
    out.push_back(c.b);
    out.push_back(c.g);
    out.push_back(c.r);
    out.push_back(0);
  }
  for (int y = height_ - 1; y >= 0; --y) {
    for (int x = 0; x < width_; ++x) out.push_back(At(x, y));
    for (uint32_t pad = width_; pad < rowBytes; ++pad) out.push_back(0);
  }
  return out;
}

}  // namespace qn::manager::art
