// The built-in test scene, the bitmap font for labels, and the demo command.
#ifndef KVFX_TOOL_DEMO_H
#define KVFX_TOOL_DEMO_H

#include <string>

#include "image_io.h"

namespace kvfx_tool {

Image demo_scene();
// Draws text in a 5 x 7 pixel font (A-Z, 0-9, a little punctuation; lower
// case is drawn as upper case) with its top-left corner at (x, y).
void draw_text(Image& image, int x, int y, const std::string& text, uint32_t argb, int scale);
// Writes the scene, one PNG per effect and contact_sheet.png into dir;
// returns what went where, a line per effect image with the kvfx command
// that makes it again from original.png.
std::string run_demo(const std::string& dir, int32_t threads);

}  // namespace kvfx_tool

#endif
