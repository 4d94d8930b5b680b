/*
 * cairo_glow: draws a small scene with Cairo, then gives it a drop shadow and
 * a bloom with kelvo_fx, and saves it as a PNG.
 *
 * Cairo's CAIRO_FORMAT_ARGB32 surfaces hold premultiplied 32-bit words in
 * native byte order with alpha in the top byte: the library's own pixel
 * format, so the surface memory is passed straight through, no conversion.
 *
 *   usage: cairo_glow [OUT.png]
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>

#include <cairo.h>

#include "kelvo_fx.h"

enum { W = 360, H = 220 };

static void draw_scene(cairo_t *cr) {
  /* Transparent background: the shadow needs somewhere to fall. */
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  cairo_paint(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);

  /* A rounded card with a vertical gradient. */
  double x = 30, y = 24, w = 280, h = 160, r = 18;
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
  cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
  cairo_pattern_t *bg = cairo_pattern_create_linear(0, y, 0, y + h);
  cairo_pattern_add_color_stop_rgb(bg, 0, 0.10, 0.12, 0.30);
  cairo_pattern_add_color_stop_rgb(bg, 1, 0.30, 0.08, 0.35);
  cairo_set_source(cr, bg);
  cairo_fill(cr);
  cairo_pattern_destroy(bg);

  /* A bright lamp for the bloom to catch. */
  cairo_arc(cr, 240, 80, 16, 0, 2 * M_PI);
  cairo_set_source_rgb(cr, 1.0, 0.97, 0.85);
  cairo_fill(cr);

  /* Thin neon lines and some text: fine detail. */
  cairo_set_line_width(cr, 2);
  cairo_set_source_rgb(cr, 0.3, 1.0, 0.95);
  cairo_move_to(cr, 50, 150);
  cairo_curve_to(cr, 110, 90, 170, 190, 290, 130);
  cairo_stroke(cr);

  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 26);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_move_to(cr, 52, 76);
  cairo_show_text(cr, "glow");
}

int main(int argc, char **argv) {
  const char *out = argc > 1 ? argv[1] : "cairo_glow.png";
  int status = 1;

  cairo_surface_t *scene = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, W, H);
  cairo_surface_t *shadowed = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, W, H);
  if (cairo_surface_status(scene) || cairo_surface_status(shadowed)) {
    fprintf(stderr, "cairo_glow: cannot create surfaces\n");
    goto done;
  }
  cairo_t *cr = cairo_create(scene);
  draw_scene(cr);
  cairo_destroy(cr);

  /* Let Cairo finish its drawing before touching the memory directly. */
  cairo_surface_flush(scene);
  cairo_surface_flush(shadowed);
  const int stride = cairo_image_surface_get_stride(scene);
  const uint32_t *src = (const uint32_t *)cairo_image_surface_get_data(scene);
  uint32_t *dst = (uint32_t *)cairo_image_surface_get_data(shadowed);

  /* Soft black shadow at 60 % opacity, 8 px right and 10 px down. */
  int32_t rc = kv_fx_drop_shadow(src, dst, W, H, stride, 8, 10, 6, 0x99000000u);
  if (rc == FX_OK) rc = kv_fx_bloom(dst, W, H, stride, 0.75, 1.2, 8, 0xFFE0B0u);
  if (rc != FX_OK) {
    fprintf(stderr, "cairo_glow: kelvo_fx returned %d\n", (int)rc);
    goto done;
  }
  /* Cairo may cache surface contents; tell it they changed. */
  cairo_surface_mark_dirty(shadowed);

  /* The shadow shows below the card's lower-right corner, where the scene
     was clear; the card itself stays opaque. */
  const uint32_t *row_below = dst + (size_t)(24 + 160 + 5) * (size_t)(stride / 4);
  const uint32_t *row_inside = dst + (size_t)100 * (size_t)(stride / 4);
  if (src[(size_t)(24 + 160 + 5) * (size_t)(stride / 4) + 200] >> 24 != 0 || row_below[200] >> 24 == 0 ||
      row_inside[100] >> 24 != 255) {
    fprintf(stderr, "cairo_glow: unexpected result\n");
    goto done;
  }

  if (cairo_surface_write_to_png(shadowed, out) != CAIRO_STATUS_SUCCESS) {
    fprintf(stderr, "cairo_glow: cannot write %s\n", out);
    goto done;
  }
  printf("cairo_glow: wrote %s\n", out);
  status = 0;

done:
  cairo_surface_destroy(shadowed);
  cairo_surface_destroy(scene);
  return status;
}
