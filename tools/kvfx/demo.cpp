#include "demo.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

#include "effects.h"

namespace kvfx_tool {

namespace {

struct Glyph {
  char c;
  uint8_t rows[7];  // bit 4 is the leftmost column
};

const Glyph kFont[] = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}}, {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}}, {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}}, {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}}, {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}}, {'_', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F}},
    {'=', {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00}}, {'/', {0x01, 0x01, 0x02, 0x04, 0x08, 0x10, 0x10}},
};

const Glyph* glyph_for(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  for (const Glyph& g : kFont)
    if (g.c == c) return &g;
  return nullptr;  // space and anything unknown: blank
}

// Premultiplied float canvas so shapes can be layered with source-over.
struct Canvas {
  int w, h;
  std::vector<float> rgba;
  Canvas(int w_, int h_) : w(w_), h(h_), rgba(static_cast<size_t>(w_) * h_ * 4, 0.0f) {}
  // Straight colour 0..1 with coverage a.
  void over(int x, int y, float r, float g, float b, float a) {
    if (x < 0 || y < 0 || x >= w || y >= h || a <= 0) return;
    float* p = &rgba[(static_cast<size_t>(y) * w + x) * 4];
    float k = 1.0f - a;
    p[0] = r * a + p[0] * k;
    p[1] = g * a + p[1] * k;
    p[2] = b * a + p[2] * k;
    p[3] = a + p[3] * k;
  }
  Image to_image() const {
    Image out(w, h);
    for (size_t i = 0; i < out.px.size(); ++i) {
      uint32_t c[4];
      for (int k = 0; k < 4; ++k) {
        float v = std::fmin(std::fmax(rgba[i * 4 + k], 0.0f), 1.0f);
        c[k] = static_cast<uint32_t>(v * 255.0f + 0.5f);
      }
      for (int k = 0; k < 3; ++k) c[k] = c[k] > c[3] ? c[3] : c[k];  // stay premultiplied
      out.px[i] = (c[3] << 24) | (c[0] << 16) | (c[1] << 8) | c[2];
    }
    out.held = Held::kPremultiplied;
    return out;
  }
};

float smooth(float edge0, float edge1, float v) {
  float t = std::fmin(std::fmax((v - edge0) / (edge1 - edge0), 0.0f), 1.0f);
  return t * t * (3 - 2 * t);
}

// Coverage of a rounded rectangle with a one-pixel soft edge.
float rounded_rect(float x, float y, float x0, float y0, float x1, float y1, float radius) {
  float cx = std::fmax(std::fmax(x0 + radius - x, x - (x1 - radius)), 0.0f);
  float cy = std::fmax(std::fmax(y0 + radius - y, y - (y1 - radius)), 0.0f);
  float d = std::sqrt(cx * cx + cy * cy) - radius;
  float inside = std::fmin(std::fmin(x - x0, x1 - x), std::fmin(y - y0, y1 - y));
  float dist = (cx > 0 && cy > 0) ? -d : inside;
  return smooth(-0.5f, 0.5f, dist);
}

void text_on_canvas(Canvas& c, int x, int y, const std::string& text, float r, float g, float b, int scale) {
  for (char ch : text) {
    if (const Glyph* gl = glyph_for(ch))
      for (int row = 0; row < 7; ++row)
        for (int col = 0; col < 5; ++col)
          if (gl->rows[row] & (0x10 >> col))
            for (int sy = 0; sy < scale; ++sy)
              for (int sx = 0; sx < scale; ++sx) c.over(x + col * scale + sx, y + row * scale + sy, r, g, b, 1);
    x += 6 * scale;
  }
}

void make_dirs(const std::string& dir) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != '/') continue;
    std::string part = dir.substr(0, i);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
      throw Failure("cannot create " + part + ": " + std::strerror(errno));
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw Failure(dir + " is not a directory");
}

// Transparency shows as a checkerboard on the sheet.
void paste_over_checker(Image& sheet, const Image& tile, int ox, int oy) {
  for (int y = 0; y < tile.height; ++y)
    for (int x = 0; x < tile.width; ++x) {
      uint32_t bg = ((x / 8 + y / 8) & 1) ? 0x9A : 0x66;
      uint32_t w = tile.px[static_cast<size_t>(y) * tile.width + x];
      uint32_t a = w >> 24, out = 0xFF000000u;
      for (int s = 0; s < 24; s += 8) {
        uint32_t c = ((w >> s) & 0xFF) + (bg * (255 - a) + 127) / 255;
        out |= (c > 255 ? 255 : c) << s;
      }
      sheet.at(ox + x, oy + y) = out;
    }
}

}  // namespace

void draw_text(Image& image, int x, int y, const std::string& text, uint32_t argb, int scale) {
  for (char ch : text) {
    if (const Glyph* gl = glyph_for(ch))
      for (int row = 0; row < 7; ++row)
        for (int col = 0; col < 5; ++col)
          if (gl->rows[row] & (0x10 >> col))
            for (int sy = 0; sy < scale; ++sy)
              for (int sx = 0; sx < scale; ++sx) {
                int px = x + col * scale + sx, py = y + row * scale + sy;
                if (px >= 0 && py >= 0 && px < image.width && py < image.height) image.at(px, py) = argb;
              }
    x += 6 * scale;
  }
}

Image demo_scene() {
  const int W = 320, H = 200;
  Canvas c(W, H);
  // A rounded card on a transparent background; the lower-right corner
  // fades out so partial alpha is exercised too.
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      float cover = rounded_rect(x + 0.5f, y + 0.5f, 10, 8, 298, 184, 20);
      cover *= 1.0f - 0.6f * smooth(260, 480, static_cast<float>(x + y));
      float fy = y / float(H), fx = x / float(W);
      c.over(x, y, 0.08f + 0.30f * fy, 0.10f + 0.12f * fx, 0.28f + 0.20f * (1 - fy), cover);
    }
  auto blob = [&](float cx, float cy, float radius, float r, float g, float b, float peak) {
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        float d = std::hypot(x + 0.5f - cx, y + 0.5f - cy) / radius;
        c.over(x, y, r, g, b, peak * std::exp(-2.5f * d * d));
      }
  };
  blob(95, 85, 45, 1.0f, 0.45f, 0.15f, 0.9f);    // soft orange
  blob(225, 135, 38, 0.1f, 0.8f, 0.75f, 0.8f);   // soft teal
  blob(250, 55, 10, 1.0f, 0.95f, 0.6f, 1.0f);    // bright sun ...
  blob(250, 55, 4, 1.0f, 1.0f, 1.0f, 1.0f);      // ... with a white core
  // Stars: single bright pixels and small crosses.
  const int stars[][2] = {{40, 30}, {70, 22}, {150, 28}, {180, 45}, {290, 30}, {130, 60}, {200, 95}, {280, 100}};
  for (const auto& s : stars) {
    c.over(s[0], s[1], 1, 1, 1, 1);
    c.over(s[0] - 1, s[1], 1, 1, 0.9f, 0.6f);
    c.over(s[0] + 1, s[1], 1, 1, 0.9f, 0.6f);
    c.over(s[0], s[1] - 1, 1, 1, 0.9f, 0.6f);
    c.over(s[0], s[1] + 1, 1, 1, 0.9f, 0.6f);
  }
  // Fine detail: a thin grid and a colour ramp bar.
  for (int x = 30; x < 150; x += 6)
    for (int y = 112; y < 136; ++y) c.over(x, y, 0.9f, 0.9f, 0.9f, 0.5f);
  for (int x = 30; x < 290; ++x)
    for (int y = 172; y < 180; ++y) {
      float t = (x - 30) / 260.0f;
      c.over(x, y, std::fabs(std::sin(t * 3.1f)), std::fabs(std::sin(t * 3.1f + 2.1f)),
             std::fabs(std::sin(t * 3.1f + 4.2f)), 1);
    }
  text_on_canvas(c, 28, 142, "KELVO FX", 1, 1, 1, 2);
  text_on_canvas(c, 140, 146, "0123456789 QUICK FOX", 0.95f, 0.9f, 0.5f, 1);
  text_on_canvas(c, 140, 157, "JUMPS: LAZY DOG.", 0.7f, 0.85f, 1.0f, 1);
  // A half-transparent pane over the card edge.
  for (int y = 20; y < 70; ++y)
    for (int x = 258; x < 318; ++x) c.over(x, y, 0.9f, 0.2f, 0.4f, 0.5f);
  return c.to_image();
}

namespace {

// The demo's own settings, as kvfx words, for the effects whose catalogue
// defaults would show little on the scene: the colour grade's are neutral,
// so one slider moves one thing. Read by the command-line parser, so a
// renamed parameter fails the demo loudly.
struct DemoSetting {
  const char* effect;
  std::vector<std::string> words;
};

const std::vector<DemoSetting>& demo_settings() {
  static const std::vector<DemoSetting> list = {
      {"grade", {"contrast=1.1", "saturation=1.2"}},
  };
  return list;
}

const std::vector<std::string>* demo_words(const Effect& e) {
  for (const DemoSetting& s : demo_settings())
    if (std::string(s.effect) == e.name) return &s.words;
  return nullptr;
}

}  // namespace

std::string run_demo(const std::string& dir, int32_t threads) {
  make_dirs(dir);
  const std::string base = dir.back() == '/' ? dir : dir + "/";
  // Each effect starts from the scene as original.png holds it (straight
  // colour), so every line the demo prints redoes its file exactly.
  Image scene = demo_scene();
  save_image(scene, base + "original.png");
  convert_image(scene, Held::kStraight);

  const int cols = 4, pad = 8, label = 20;
  const int count = 1 + static_cast<int>(kvfx_catalogue::effects().size());
  const int rows = (count + cols - 1) / cols;
  Image sheet(cols * (scene.width + pad) + pad, rows * (scene.height + label + pad) + pad, 0xFF18181Cu);
  sheet.held = Held::kPremultiplied;
  auto place = [&](int index, const Image& tile, const std::string& name, const std::string& note) {
    int ox = pad + (index % cols) * (scene.width + pad);
    int oy = pad + (index / cols) * (scene.height + label + pad);
    draw_text(sheet, ox, oy + 3, name, 0xFFE8E8E8u, 2);
    draw_text(sheet, ox + 6 * 2 * static_cast<int>(name.size() + 1), oy + 8, note, 0xFFA0A0A8u, 1);
    Image premultiplied = tile;
    convert_image(premultiplied, Held::kPremultiplied);  // the sheet composites premultiplied words
    paste_over_checker(sheet, premultiplied, ox, oy + label);
  };
  place(0, scene, "original", "");
  std::string said = "wrote to " + base + ":\n  original.png       the demo scene\n";
  int index = 1;
  for (const Effect& e : kvfx_catalogue::effects()) {
    std::vector<std::string> words{e.name};
    std::string note;
    if (const auto* own = demo_words(e)) {
      words.insert(words.end(), own->begin(), own->end());
      for (const std::string& w : *own) note += (note.empty() ? "" : " ") + w;
    }
    const EffectCall call = parse_chain(words, 0).front();
    Image out = scene;
    apply_chain(out, {call}, threads);
    const std::string file = std::string(e.name) + ".png";
    save_image(out, base + file);
    said += "  " + file + std::string(file.size() < 19 ? 19 - file.size() : 1, ' ') +
            "kvfx original.png " + file + " " + call_words(call) + "\n";
    place(index++, out, e.name, note);
  }
  save_image(sheet, base + "contact_sheet.png");
  return said + "  contact_sheet.png  every effect side by side";
}

}  // namespace kvfx_tool
