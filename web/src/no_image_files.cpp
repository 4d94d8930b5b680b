// kvfx's demo.cpp draws the scene and also writes it out as PNG files. The
// web module and the native driver want only the drawing, so the writer is
// replaced by one that refuses: nothing they run reaches it, and neither
// links an image codec.
#include "../../tools/kvfx/image_io.h"

namespace kvfx_tool {

void save_image(const Image&, const std::string& path) {
  throw Failure("cannot write " + path + ": built without image files");
}

}  // namespace kvfx_tool
