#include "tools/manager/art/pictures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/manager/core/button_table.h"

namespace qn::manager::art {

namespace {

constexpr Color kSpace{0, 0, 40};

struct Continent {
  double lon, lat, radius;  // degrees
};
// Rough land masses, enough to see the globe turn.
constexpr Continent kContinents[] = {
    {-100, 45, 28}, {-60, -15, 22}, {15, 50, 18}, {20, 5, 24},
    {90, 45, 30},   {135, -25, 16}, {-40, 72, 10},
};

double Radians(double degrees) { return degrees * M_PI / 180.0; }

bool IsLand(double lat, double lon) {
  for (const Continent& c : kContinents) {
    const double cosDistance = std::sin(lat) * std::sin(Radians(c.lat)) +
                               std::cos(lat) * std::cos(Radians(c.lat)) * std::cos(lon - Radians(c.lon));
    // A coast that wobbles with the bearing from the centre.
    const double bearing = std::atan2(std::sin(lon - Radians(c.lon)), lat - Radians(c.lat));
    const double radius = Radians(c.radius) * (1.0 + 0.25 * std::sin(3 * bearing + c.lon));
    if (std::acos(std::clamp(cosDistance, -1.0, 1.0)) < radius) return true;
  }
  return false;
}

// Screen distance from the nearest grid line (every 30 degrees) at this
// angle, with `scale` pixels per radian there.
double GridDistance(double angle, double scale) {
  const double step = Radians(30);
  const double off = std::remainder(angle, step);
  return std::abs(off) * scale;
}

}  // namespace

Canvas GlobeFrame(int frame, int frames, int size) {
  Canvas c(size, size);
  c.Fill(0, 0, size, size, kSpace);
  const double centre = size / 2.0, radius = size * 0.44;
  const double phase = 2 * M_PI * frame / frames;
  // A few fixed stars around the globe.
  for (int i = 0; i < 9; ++i) {
    const int x = (i * 37 + 5) % size, y = (i * 23 + 3) % size;
    const double dx = x + 0.5 - centre, dy = y + 0.5 - centre;
    if (dx * dx + dy * dy > (radius + 2) * (radius + 2)) c.Set(x, y, i % 3 ? Color{150, 150, 170} : kWhite);
  }
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const double dx = (x + 0.5 - centre) / radius, dy = (y + 0.5 - centre) / radius;
      const double r2 = dx * dx + dy * dy;
      if (r2 > 1.0) continue;
      const double z = std::sqrt(1.0 - r2);
      // Light from the upper left, in front.
      const double light = (-0.45 * dx - 0.45 * dy + 0.77 * z);
      int level = std::clamp(static_cast<int>((0.25 + 0.75 * light) * 8), 0, 7);
      const double lat = std::asin(-dy);
      const double viewLon = std::atan2(dx, z);
      const double lon = viewLon - phase;
      const bool land = IsLand(lat, lon);
      const bool grid = GridDistance(lon, radius * std::cos(lat) * std::cos(viewLon)) < 0.45 ||
                        GridDistance(lat, radius * std::cos(lat)) < 0.45;
      if (grid) level = std::min(level + 3, 7);
      c.Set(x, y, land ? Land(level) : Sea(level));
    }
  }
  return c;
}

std::vector<std::pair<std::string, Canvas>> AllBitmaps() {
  std::vector<std::pair<std::string, Canvas>> out;
  auto faces = [&out](const std::string& name, const Canvas& glyph, bool disabled) {
    out.emplace_back(name + "-up.bmp", ButtonFace(glyph, Face::Up));
    out.emplace_back(name + "-pressed.bmp", ButtonFace(glyph, Face::Pressed));
    if (disabled) out.emplace_back(name + "-disabled.bmp", ButtonFace(glyph, Face::Disabled));
  };
  for (const ButtonEntry& button : Buttons()) {
    if (button.command == kCmdStartStop) {
      for (const char* look : {"stopped", "running", "transitional"}) {
        const std::string name = std::string(button.image) + "-" + look;
        faces(name, Glyph(name, button.width, button.height), button.hasDisabledImage);
      }
      continue;
    }
    faces(button.image, Glyph(button.image, button.width, button.height), button.hasDisabledImage);
  }
  const int frameSide = kAnimationRight - kAnimationLeft - 4;
  for (int frame = 0; frame < kAnimationFrames; ++frame) {
    char name[32];
    std::snprintf(name, sizeof name, "frame%02d.bmp", frame + 1);
    out.emplace_back(name, GlobeFrame(frame, kAnimationFrames, frameSide));
  }
  out.emplace_back("icon.bmp", GlobeFrame(0, kAnimationFrames, 32));
  out.emplace_back("icon16.bmp", GlobeFrame(0, kAnimationFrames, 16));
  return out;
}

}  // namespace qn::manager::art
