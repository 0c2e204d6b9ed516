// The manager's own pictures, drawn at build time: the buttons' faces and
// glyphs, the start/stop button's three looks, the spinning globe of the
// animation and the program icon.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "tools/manager/art/canvas.h"

namespace qn::manager::art {

enum class Face { Up, Pressed, Disabled };

// A raised button face with `glyph` on it: pressed sunk and the glyph moved
// down and right by one pixel; disabled with the glyph etched.
Canvas ButtonFace(const Canvas& glyph, Face face);

// The glyph of the button whose bitmaps are named `image` (see the button
// table), on a canvas of the button's size; the start/stop button's looks
// are "startstop-stopped", "startstop-running" and "startstop-transitional".
Canvas Glyph(const std::string& image, int width, int height);

// Frame `frame` (0 to frames - 1) of the globe turning once in `frames`
// steps; frame 0 is the globe at rest.
Canvas GlobeFrame(int frame, int frames, int size);

// Every bitmap the program carries, by file name ("monitor-up.bmp").
std::vector<std::pair<std::string, Canvas>> AllBitmaps();

}  // namespace qn::manager::art
