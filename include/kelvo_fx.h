/*
 * kelvo_fx.h - raster image effects on premultiplied 32-bit ARGB pixels.
 *
 * Pixel words
 *   Every pixel is one uint32_t: alpha in bits 24..31, red 16..23, green 8..15,
 *   blue 0..7, colours premultiplied by alpha. A channel is a bit position in the
 *   word, never a byte in memory, so the same words give the same results on
 *   little- and big-endian machines.
 *
 * Pixel buffer
 *   Each effect takes (pixels, width, height, stride) first. stride is the
 *   distance in bytes between row starts; the library addresses rows in whole
 *   words, row_pixels = stride / 4 (truncating toward zero, so a stride that is
 *   not a multiple of 4 loses its remainder). Row y starts at
 *   pixels + y * row_pixels. The words between width and row_pixels of a row are
 *   its padding.
 *
 *   Two visiting orders exist. A "whole-run" effect rewrites the
 *   height * row_pixels words from pixels[0] on as one run, padding included
 *   (tone map, colour grade, film grain, bloom's full-size path, drop shadow's
 *   composite). A "row" effect touches only the first width words of each row.
 *
 * Strides the library refuses to misuse
 *   - Negative stride (-4 or less): effects that need a scratch image or walk
 *     the whole run reject it (see each function). Vignette and scanlines walk
 *     rows only and accept it: row y then lies below row 0 in memory, as in a
 *     bottom-up image.
 *   - Stride below 4 * width: rows would overlap. The blur, bloom and glitch
 *     return FX_OK without touching anything; drop shadow and chromatic
 *     aberration return FX_ERR_INVALID_ARGUMENT; the whole-run effects walk
 *     height * row_pixels words as usual (a stride of 0..3 is then an empty run).
 *   The caller's buffer must hold height * row_pixels words (for a negative
 *   stride, the rows it addresses).
 *
 * Results
 *   FX_OK, FX_ERR_INVALID_ARGUMENT, FX_ERR_OUT_OF_MEMORY. A rejected or failed
 *   call leaves every caller buffer exactly as it was. The blur, the scanlines
 *   and the glitch report rejected arguments as FX_OK (they have nothing to
 *   do); the other seven return FX_ERR_INVALID_ARGUMENT. No effect lets a C++
 *   exception out; a scratch image that cannot be allocated gives
 *   FX_ERR_OUT_OF_MEMORY before any caller pixel is written.
 *
 * Threads
 *   No threads, no locks, and no global state a call writes. Calls on
 *   distinct buffers may run concurrently; calls on the same or overlapping
 *   buffers must not. (The library's own tests can cap its vector level and
 *   make scratch allocations fail; those two settings are not exported, and
 *   a program that cannot reach them always runs at the CPU's best level.)
 *   kelvo_fx_parallel.h has the same ten effects, each call cut over threads.
 */
#ifndef KELVO_FX_H
#define KELVO_FX_H

#include <stdint.h>

/* The version, written here only (the build reads it from these lines). */
#define KV_FX_VERSION_MAJOR 0
#define KV_FX_VERSION_MINOR 1
#define KV_FX_VERSION_PATCH 0
#define KV_FX_STRINGIFY_(x) #x
#define KV_FX_STRINGIFY(x) KV_FX_STRINGIFY_(x)
#define KV_FX_VERSION                                                          \
  KV_FX_STRINGIFY(KV_FX_VERSION_MAJOR) "." KV_FX_STRINGIFY(KV_FX_VERSION_MINOR) "." \
  KV_FX_STRINGIFY(KV_FX_VERSION_PATCH)
/* Single number for compile-time comparisons: major * 10000 + minor * 100 + patch. */
#define KV_FX_VERSION_NUMBER                                                   \
  (KV_FX_VERSION_MAJOR * 10000 + KV_FX_VERSION_MINOR * 100 + KV_FX_VERSION_PATCH)

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(KV_FX_BUILDING)
#    define KV_FX_API __declspec(dllexport)
#  else
#    define KV_FX_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define KV_FX_API __attribute__((visibility("default")))
#else
#  define KV_FX_API
#endif

/* Result codes. */
#define FX_OK 0                    /* did its work, or had nothing to do */
#define FX_ERR_INVALID_ARGUMENT (-1) /* an entry check failed; nothing was touched */
#define FX_ERR_OUT_OF_MEMORY (-2)  /* a scratch image could not be allocated;
                                      caller buffers are unchanged */

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Gaussian blur of standard deviation `sigma` pixels, in place, all four
 * channels (alpha included) alike, approximated by three box blurs. Edges
 * repeat the edge pixel. The cost per pixel does not depend on sigma.
 *
 * Returns FX_OK, also when it does nothing: pixels NULL, width <= 0,
 * height <= 0, sigma <= 0, a stride below 4 * width (negative included),
 * a sigma up to about 0.577 (three boxes of width 1), NaN, +infinity, or a
 * sigma of 2^30 or more (treated like +infinity). Returns FX_ERR_OUT_OF_MEMORY
 * with the pixels unchanged if its scratch image cannot be allocated.
 * A row or column shorter than a box repeats its end pixels into the window.
 * Row padding is never read or written.
 */
KV_FX_API int32_t kv_fx_gaussian_blur(uint32_t *pixels, int32_t width,
                                      int32_t height, int32_t stride,
                                      double sigma);

/*
 * Bloom: words whose integer luma (299 R + 587 G + 114 B) / 1000 exceeds
 * thr = trunc(threshold * 255) are scaled by (luma - thr) / (255 - thr),
 * multiplied by `tint` (0x00RRGGBB; the top byte is ignored), blurred with
 * `sigma` pixels and screened over the image with strength `intensity`.
 * For sigma > 4 on images of at least 10 x 10 the glow is blurred at half size
 * and enlarged by pixel repetition; row padding is then untouched, while the
 * full-size path blends the whole run, padding included.
 *
 * threshold: 0..1 scale; NaN, infinite or out-of-range values let nothing pass.
 * intensity: unbounded; negative darkens; NaN or +infinity saturates.
 * Returns FX_ERR_INVALID_ARGUMENT for NULL pixels, width <= 0, height <= 0 or a
 * stride of -4 or less; FX_OK without change for a stride below 4 * width;
 * FX_ERR_OUT_OF_MEMORY (pixels unchanged) if a scratch image, the blur's
 * included, cannot be allocated.
 */
KV_FX_API int32_t kv_fx_bloom(uint32_t *pixels, int32_t width, int32_t height,
                              int32_t stride, double threshold,
                              double intensity, double sigma, uint32_t tint);

/*
 * Drop shadow: writes `src` composited (premultiplied source-over) on top of a
 * shadow into `dst`. The shadow's coverage is src's alpha times color's alpha
 * / 255, moved by (offset_x, offset_y) pixels rounded half away from zero
 * (positive: right, down), coloured with color's low 24 bits as given, and
 * blurred with `sigma` pixels when sigma > 0. Offsets that are NaN, infinite
 * or beyond the image leave the shadow empty, so dst becomes a copy of src.
 *
 * src and dst share width, height and stride; each must hold
 * height * row_pixels words, all of which are written to dst (padding receives
 * src's padding). dst may equal src or overlap it; the result is that of a
 * word-by-word loop in increasing address order.
 * Returns FX_ERR_INVALID_ARGUMENT (dst untouched) for NULL src or dst,
 * width <= 0, height <= 0, or a stride below 4 * width (negative included);
 * FX_ERR_OUT_OF_MEMORY (dst untouched) if a scratch image cannot be allocated.
 */
KV_FX_API int32_t kv_fx_drop_shadow(const uint32_t *src, uint32_t *dst,
                                    int32_t width, int32_t height,
                                    int32_t stride, double offset_x,
                                    double offset_y, double sigma,
                                    uint32_t color);

/*
 * ACES filmic tone map of each colour channel after multiplying it (as a
 * fraction of 255) by `exposure`. Whole run, padding included; alpha kept.
 * A NaN or infinite exposure turns every colour channel to 255.
 * Returns FX_ERR_INVALID_ARGUMENT for NULL pixels, width <= 0, height <= 0 or a
 * stride of -4 or less; FX_OK otherwise (a stride of 0..3 is an empty run).
 */
KV_FX_API int32_t kv_fx_tone_map_aces(uint32_t *pixels, int32_t width,
                                      int32_t height, int32_t stride,
                                      double exposure);

/*
 * Colour grade: contrast around 0.5, then `brightness` added (both on the
 * 0..1 scale), then the power 1 / gamma (gamma <= 0 or NaN counts as 1),
 * through a 256-entry table; then each channel's distance from the luma
 * (0.299 R + 0.587 G + 0.114 B of the graded values) is multiplied by
 * `saturation`, unless saturation is exactly 1. Whole run, padding included;
 * alpha kept. Neutral settings lower a few channel values by one level.
 * Returns FX_ERR_INVALID_ARGUMENT for NULL pixels, width <= 0, height <= 0 or a
 * stride of -4 or less; FX_OK otherwise.
 */
KV_FX_API int32_t kv_fx_color_grade(uint32_t *pixels, int32_t width,
                                    int32_t height, int32_t stride,
                                    double brightness, double contrast,
                                    double saturation, double gamma);

/*
 * Vignette: blends each pixel toward `color` (0x00RRGGBB; the top byte is
 * ignored) by strength * smoothstep(t), where t runs from 0 at normalised
 * distance `radius` from the centre (width / 2, height / 2) to 1 at
 * radius + softness; the half-diagonal is distance 1. A band that is not
 * positive becomes 0.001. Row walk: padding untouched; negative strides
 * (bottom-up images) work. Alpha kept.
 * Returns FX_ERR_INVALID_ARGUMENT for NULL pixels, width <= 0 or height <= 0;
 * FX_OK otherwise.
 */
KV_FX_API int32_t kv_fx_vignette(uint32_t *pixels, int32_t width,
                                 int32_t height, int32_t stride,
                                 double strength, double radius,
                                 double softness, uint32_t color);

/*
 * Film grain: adds one offset in [-amount * 255, +amount * 255] per word to
 * red, green and blue alike, from a xorshift32 generator started at `seed`
 * (0 selects 123456789), one step per word of the whole run, padding
 * included, so the grain depends on the stride. Alpha kept.
 * Returns FX_ERR_INVALID_ARGUMENT for NULL pixels, width <= 0, height <= 0 or a
 * stride of -4 or less; FX_OK otherwise.
 */
KV_FX_API int32_t kv_fx_film_grain(uint32_t *pixels, int32_t width,
                                   int32_t height, int32_t stride,
                                   double amount, int32_t seed);

/*
 * Scanlines: multiplies red, green and blue of rows 0, spacing, 2 * spacing,
 * ... by 1 - intensity, with intensity clamped to [0, 1] (NaN counts as 1).
 * Row walk: padding untouched; negative strides work. Alpha kept.
 * Always returns FX_OK; NULL pixels, width <= 0, height <= 0 or spacing <= 0
 * do nothing.
 */
KV_FX_API int32_t kv_fx_scanlines(uint32_t *pixels, int32_t width,
                                  int32_t height, int32_t stride,
                                  int32_t spacing, double intensity);

/*
 * Chromatic aberration: red is fetched from (x + rx, y + ry) and blue from
 * (x - rx, y - ry), with rx = round(cos(angle) * strength_x) and
 * ry = round(sin(angle) * strength_y) (pixels, halves away from zero; angle in
 * radians, 0 toward higher columns, pi/2 toward higher rows), clamped to the
 * image. NaN or infinite shifts clamp to row or column 0. Every fetch reads
 * the input as it was before the call (a few saved rows, not a copy of the
 * frame); row walk: padding untouched. Alpha and green kept.
 * Returns FX_ERR_INVALID_ARGUMENT for NULL pixels, width <= 0, height <= 0 or a
 * stride below 4 * width (negative included); FX_ERR_OUT_OF_MEMORY (pixels
 * unchanged) if its saved rows cannot be allocated.
 */
KV_FX_API int32_t kv_fx_chromatic_aberration(uint32_t *pixels, int32_t width,
                                             int32_t height, int32_t stride,
                                             double strength_x,
                                             double strength_y, double angle);

/*
 * Glitch displacement: `band_count` bands of 5..29 rows, drawn from a linear
 * congruential generator started at `seed` (0 selects 987654321), are each
 * shifted sideways by a whole number of pixels in -max_shift .. max_shift - 1,
 * repeating the edge word where the shift uncovers the border. Whole words
 * move; later bands win where bands overlap. Row walk: padding untouched.
 * Returns FX_OK, also when it does nothing: NULL pixels, width <= 0,
 * height <= 0, band_count <= 0, a max_shift of 0 or -2147483648 (no shift
 * range), a stride below 4 * width (negative included). Returns
 * FX_ERR_OUT_OF_MEMORY (pixels unchanged) if its per-row table cannot be
 * allocated.
 */
KV_FX_API int32_t kv_fx_glitch_displacement(uint32_t *pixels, int32_t width,
                                            int32_t height, int32_t stride,
                                            int32_t band_count,
                                            int32_t max_shift, int32_t seed);

#ifdef __cplusplus
}
#endif

#endif /* KELVO_FX_H */
