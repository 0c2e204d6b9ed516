// The buttons' glyphs: small drawings in the middle of a 30 by 30 face (the
// Exit button's is 30 by 60).
#include <cmath>
#include <functional>
#include <map>

#include "tools/manager/art/pictures.h"

namespace qn::manager::art {

namespace {

constexpr Color kRed{220, 0, 0}, kDimRed{90, 0, 0};
constexpr Color kAmber{255, 190, 0}, kDimAmber{100, 70, 0};
constexpr Color kGreen{0, 210, 0}, kDimGreen{0, 80, 0};
constexpr Color kBlue{0, 0, 160}, kSky{80, 150, 255}, kNavy{0, 0, 102};
constexpr Color kYellow{255, 230, 60}, kPaper{255, 255, 240};
constexpr Color kBrown{150, 90, 40}, kDarkBrown{90, 50, 20}, kSkin{255, 204, 153};
constexpr Color kTeal{0, 140, 150}, kLightTeal{80, 200, 210};

using Draw = std::function<void(Canvas&)>;

// A traffic light with one lamp lit: 0 red, 1 amber, 2 green.
void TrafficLight(Canvas& c, int lit) {
  c.Fill(9, 4, 21, 26, Color{40, 40, 40});
  c.Frame(9, 4, 21, 26, kBlack);
  const Color on[] = {kRed, kAmber, kGreen}, off[] = {kDimRed, kDimAmber, kDimGreen};
  for (int i = 0; i < 3; ++i) c.FillEllipse(15, 8.5 + i * 6.5, 3.2, 3.2, i == lit ? on[i] : off[i]);
}

void Screen(Canvas& c) {
  c.Fill(5, 6, 25, 20, Color{60, 60, 60});
  c.Fill(7, 8, 23, 18, kNavy);
  c.Line(8, 15, 11, 12, kGreen);
  c.Line(11, 12, 14, 16, kGreen);
  c.Line(14, 16, 18, 10, kGreen);
  c.Line(18, 10, 21, 13, kGreen);
  c.Fill(13, 20, 17, 23, Color{60, 60, 60});
  c.Fill(9, 23, 21, 25, Color{60, 60, 60});
}

void Chart(Canvas& c) {
  c.Fill(5, 5, 25, 25, kWhite);
  c.Frame(5, 5, 25, 25, kBlack);
  c.Line(8, 8, 8, 22, kBlack);
  c.Line(8, 22, 22, 22, kBlack);
  c.Fill(10, 16, 12, 22, kSky);
  c.Fill(14, 12, 16, 22, kSky);
  c.Fill(18, 14, 20, 22, kSky);
  c.Line(9, 18, 13, 11, kRed);
  c.Line(13, 11, 17, 15, kRed);
  c.Line(17, 15, 21, 8, kRed);
}

void Page(Canvas& c, int left, int top, int right, int bottom) {
  c.FillPolygon({{left, top}, {right - 5, top}, {right, top + 5}, {right, bottom}, {left, bottom}}, kPaper);
  c.Line(left, top, right - 5, top, kBlack);
  c.Line(right - 5, top, right - 1, top + 4, kBlack);
  c.Line(right - 1, top + 4, right - 1, bottom - 1, kBlack);
  c.Line(left, bottom - 1, right - 1, bottom - 1, kBlack);
  c.Line(left, top, left, bottom - 1, kBlack);
  c.Line(right - 5, top, right - 5, top + 4, kBlack);
  c.Line(right - 5, top + 4, right - 1, top + 4, kBlack);
}

void Log(Canvas& c) {
  Page(c, 7, 4, 23, 26);
  for (int y = 10; y <= 22; y += 3) c.Line(9, y, 20, y, kShadow);
  c.FillPolygon({{13, 11}, {19, 22}, {7, 22}}, kYellow);
  c.Line(13, 11, 19, 22, kBlack);
  c.Line(19, 22, 7, 22, kBlack);
  c.Line(7, 22, 13, 11, kBlack);
  c.Line(13, 15, 13, 18, kBlack);
  c.Set(13, 20, kBlack);
}

void Person(Canvas& c, double cx, double top, Color shirt) {
  c.FillEllipse(cx, top + 13, 7, 6, shirt);
  c.Fill(static_cast<int>(cx - 7), static_cast<int>(top + 13), static_cast<int>(cx + 7), static_cast<int>(top + 19), shirt);
  c.FillEllipse(cx, top + 5, 4, 4.5, kSkin);
  c.EllipseOutline(cx, top + 5, 4, 4.5, kDarkBrown);
}

void Boxes(Canvas& c) {
  auto box = [&c](int x, int y) {
    c.Fill(x, y, x + 10, y + 9, kBrown);
    c.FillPolygon({{x, y}, {x + 3, y - 3}, {x + 13, y - 3}, {x + 10, y}}, Color{200, 140, 70});
    c.FillPolygon({{x + 10, y}, {x + 13, y - 3}, {x + 13, y + 6}, {x + 10, y + 9}}, kDarkBrown);
    c.Frame(x, y, x + 10, y + 9, kBlack);
  };
  box(4, 16);
  box(14, 16);
  box(9, 8);
}

void Drum(Canvas& c, Color side, Color top) {
  c.Fill(7, 8, 23, 23, side);
  c.FillEllipse(15, 23, 8, 3, side);
  c.FillEllipse(15, 8, 8, 3, top);
  c.EllipseOutline(15, 8, 8, 3, kBlack);
  c.Line(7, 8, 7, 23, kBlack);
  c.Line(22, 8, 22, 23, kBlack);
  c.EllipseOutline(15, 13, 8, 3, Color{0, 90, 100});
  c.EllipseOutline(15, 18, 8, 3, Color{0, 90, 100});
}

void Folder(Canvas& c) {
  c.Fill(5, 9, 13, 12, kYellow);
  c.Fill(5, 11, 25, 24, Color{230, 190, 40});
  c.Fill(9, 7, 21, 16, kWhite);
  c.Frame(9, 7, 21, 16, kShadow);
  c.FillPolygon({{5, 14}, {25, 14}, {23, 24}, {5, 24}}, kYellow);
  c.Frame(5, 11, 25, 24, kDarkBrown);
}

void Bubbles(Canvas& c) {
  c.FillEllipse(12, 11, 8, 6, kWhite);
  c.EllipseOutline(12, 11, 8, 6, kBlack);
  c.FillPolygon({{7, 15}, {5, 20}, {11, 16}}, kWhite);
  c.FillEllipse(18, 18, 8, 6, kYellow);
  c.EllipseOutline(18, 18, 8, 6, kBlack);
  c.FillPolygon({{22, 22}, {25, 27}, {19, 23}}, kYellow);
}

void Door(Canvas& c) {
  c.Fill(6, 8, 22, 52, kDarkBrown);
  c.Fill(8, 10, 20, 52, kBrown);
  c.Frame(8, 10, 20, 52, kBlack);
  c.FillEllipse(17.5, 32, 1.5, 1.5, kYellow);
  c.FillPolygon({{12, 27}, {20, 27}, {20, 23}, {27, 30}, {20, 37}, {20, 33}, {12, 33}}, kGreen);
}

void Plug(Canvas& c) {
  c.ThickLine(4, 24, 10, 18, Color{40, 40, 40}, 2);
  c.FillPolygon({{9, 15}, {15, 9}, {21, 15}, {15, 21}}, Color{90, 90, 90});
  c.ThickLine(15, 11, 21, 5, Color{220, 220, 220}, 2);
  c.ThickLine(19, 15, 25, 9, Color{220, 220, 220}, 2);
  c.FillPolygon({{9, 15}, {12, 12}, {18, 18}, {15, 21}}, Color{50, 50, 50});
}

void Globe(Canvas& c, double cx, double cy, double r) {
  c.FillEllipse(cx, cy, r, r, Color{40, 110, 230});
  c.FillEllipse(cx - r * 0.3, cy - r * 0.3, r * 0.35, r * 0.45, kGreen);
  c.FillEllipse(cx + r * 0.35, cy + r * 0.25, r * 0.3, r * 0.4, kGreen);
  c.EllipseOutline(cx, cy, r * 0.45, r, kSky);
  c.Line(static_cast<int>(cx - r), static_cast<int>(cy), static_cast<int>(cx + r), static_cast<int>(cy), kSky);
  c.EllipseOutline(cx, cy, r, r, kNavy);
}

void Gear(Canvas& c, double cx, double cy, double r) {
  std::vector<std::pair<double, double>> outline;
  for (int i = 0; i < 16; ++i) {
    const double a = M_PI * 2 * i / 16, radius = i % 2 ? r * 0.7 : r;
    outline.push_back({cx + radius * std::cos(a), cy + radius * std::sin(a)});
  }
  c.FillPolygon(outline, Color{110, 110, 110});
  c.FillEllipse(cx, cy, r * 0.3, r * 0.3, kFace);
}

void MenuWindow(Canvas& c) {
  c.Fill(5, 5, 25, 25, kWhite);
  c.Fill(5, 5, 25, 9, kBlue);
  c.Frame(5, 5, 25, 25, kBlack);
  c.Fill(6, 14, 24, 18, kSky);
  for (int y : {11, 16, 21}) c.Line(8, y, 20, y, kBlack);
}

void Shapes(Canvas& c) {
  c.Fill(5, 13, 15, 23, kGreen);
  c.FillEllipse(19, 18, 6, 6, kBlue);
  c.FillPolygon({{13, 4}, {21, 16}, {5, 16}}, kRed);
  c.Line(13, 4, 21, 16, kBlack);
  c.Line(21, 16, 5, 16, kBlack);
  c.Line(5, 16, 13, 4, kBlack);
}

void Compact(Canvas& c) {
  c.Fill(9, 11, 21, 20, kTeal);
  c.FillEllipse(15, 20, 6, 2.5, kTeal);
  c.FillEllipse(15, 11, 6, 2.5, kLightTeal);
  c.EllipseOutline(15, 11, 6, 2.5, kBlack);
  c.Line(9, 11, 9, 20, kBlack);
  c.Line(20, 11, 20, 20, kBlack);
  c.FillPolygon({{15, 8}, {11, 3}, {19, 3}}, kRed);
  c.FillPolygon({{15, 24}, {11, 28}, {19, 28}}, kRed);
}

const std::vector<std::string> kQuestion = {
    ".###.",
    "#...#",
    "....#",
    "...#.",
    "..#..",
    ".....",
    "..#..",
};

void Book(Canvas& c) {
  c.Fill(7, 4, 23, 26, kBlue);
  c.Fill(7, 4, 9, 26, kNavy);
  c.Fill(20, 6, 23, 25, kPaper);
  c.Frame(7, 4, 23, 26, kBlack);
  c.Pattern(11, 8, kQuestion, kYellow, 2);
}

void Help(Canvas& c) {
  c.FillEllipse(15, 15, 11, 11, kYellow);
  c.EllipseOutline(15, 15, 11, 11, kDarkBrown);
  c.Pattern(10, 8, kQuestion, kBlue, 2);
}

const std::map<std::string, Draw>& Drawings() {
  static const std::map<std::string, Draw> drawings = {
      {"startstop-stopped", [](Canvas& c) { TrafficLight(c, 0); }},
      {"startstop-transitional", [](Canvas& c) { TrafficLight(c, 1); }},
      {"startstop-running", [](Canvas& c) { TrafficLight(c, 2); }},
      {"monitor", Screen},
      {"perfmon", Chart},
      {"events", Log},
      {"admin", [](Canvas& c) { Person(c, 15, 4, kBlue); }},
      {"cam", Boxes},
      {"dbadmin", [](Canvas& c) { Drum(c, kTeal, kLightTeal); }},
      {"filelib", Folder},
      {"forum", Bubbles},
      {"exit", Door},
      {"connector", Plug},
      {"webmanager", [](Canvas& c) { Globe(c, 15, 15, 10); }},
      {"webconfig",
       [](Canvas& c) {
         Globe(c, 13, 13, 9);
         Gear(c, 20, 20, 7);
       }},
      {"wipmenus", MenuWindow},
      {"wipvector", Shapes},
      {"compact", Compact},
      {"config",
       [](Canvas& c) {
         Page(c, 6, 4, 21, 25);
         for (int y = 10; y <= 19; y += 3) c.Line(8, y, 17, y, kShadow);
         Gear(c, 20, 20, 7);
       }},
      {"sdkhelp", Book},
      {"help", Help},
  };
  return drawings;
}

}  // namespace

Canvas Glyph(const std::string& image, int width, int height) {
  Canvas glyph(width, height);
  auto found = Drawings().find(image);
  if (found != Drawings().end()) found->second(glyph);
  return glyph;
}

Canvas ButtonFace(const Canvas& glyph, Face face) {
  const int w = glyph.width(), h = glyph.height();
  Canvas c(w, h);
  c.Fill(0, 0, w, h, kFace);
  if (face == Face::Pressed) {
    c.Line(0, 0, w - 1, 0, kBlack);
    c.Line(0, 0, 0, h - 1, kBlack);
    c.Line(1, 1, w - 2, 1, kShadow);
    c.Line(1, 1, 1, h - 2, kShadow);
    c.Line(0, h - 1, w - 1, h - 1, kWhite);
    c.Line(w - 1, 0, w - 1, h - 1, kWhite);
    c.Lay(glyph, 1, 1);
    return c;
  }
  c.Line(0, 0, w - 2, 0, kWhite);
  c.Line(0, 0, 0, h - 2, kWhite);
  c.Line(0, h - 1, w - 1, h - 1, kBlack);
  c.Line(w - 1, 0, w - 1, h - 1, kBlack);
  c.Line(1, h - 2, w - 2, h - 2, kShadow);
  c.Line(w - 2, 1, w - 2, h - 2, kShadow);
  if (face == Face::Up) {
    c.Lay(glyph, 0, 0);
    return c;
  }
  // Etched: the glyph's dark strokes as a grey copy over a white one moved
  // one pixel down and right; its light fills disappear into the face.
  const std::vector<Color>& table = Palette();
  Canvas white(w, h), grey(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      if (glyph.At(x, y) == kClear) continue;
      const Color ink = table[glyph.At(x, y)];
      if (0.30 * ink.r + 0.59 * ink.g + 0.11 * ink.b >= 160) continue;
      white.Set(x, y, kWhite);
      grey.Set(x, y, kShadow);
    }
  c.Lay(white, 1, 1);
  c.Lay(grey, 0, 0);
  return c;
}

}  // namespace qn::manager::art
