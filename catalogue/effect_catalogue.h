// The one description of the library's effects for everything built around
// it: the kvfx tool, the tests, the fuzzer, the benchmark, the demo and the
// bindings (which read catalogue.json, written from this table at build
// time). Each entry names its C function, its parameters in call order with
// their types, defaults, ranges and units, the answer it gives a buffer it
// cannot work on, and how a host holding straight-alpha pixels feeds it.
//
// It is not part of the shipped library, which needs none of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/boundary.h"

namespace kvfx_catalogue {

enum class Kind {
  kReal,         // double
  kInteger,      // int32_t
  kColour,       // uint32_t 0x00RRGGBB; the top byte is ignored
  kColourAlpha,  // uint32_t 0xAARRGGBB
};

struct Param {
  const char* name;   // the C parameter's name
  Kind kind;
  double fallback;    // the default
  double min, max;    // the values the tool and the bindings accept (inclusive)
  double soft_min, soft_max;  // where a slider ends; within min .. max
  const char* unit;   // one line: unit and meaning
  const char* alias;  // a shorter name kvfx also accepts, or nullptr
};

// What a host whose image has straight (not premultiplied) alpha feeds an
// effect. The colour effects' arithmetic never reads alpha, so on straight
// colour they change the colour one sees and keep soft edges; the blurs and
// displacements mix neighbouring pixels and need premultiplied words.
enum class Input { kStraightColour, kPremultiplied };

// The words a call may rewrite (kelvo_fx.h): the first width words of each
// row, or the height * row_pixels words from the first pixel as one run,
// padding included. A host whose row padding belongs to someone else (a view
// into a larger image) must not give a whole-run effect its own stride.
// Bloom counts as whole-run: its full-size path is.
enum class Visit { kRows, kWholeRun };

// Whether alpha takes part in the colour arithmetic. Only the drop shadow's
// does (the shadow is cast from it); every other effect blurs or moves alpha
// as a channel of its own, or keeps it, so its red, green and blue do not
// depend on it. A host whose frames have no alpha (BGRx video) need only set
// it for an effect that reads it.
enum class Alpha { kApart, kInColour };

// (pixels, width, height, stride, args[params.size()]). `source` is the
// drop shadow's src; nullptr runs it in place, and in-place effects ignore
// it. Each argument is converted to its C type by to_int32 / to_uint32 below.
using Invoke = int32_t (*)(uint32_t* pixels, int32_t width, int32_t height, int32_t stride,
                           const double* args, const uint32_t* source);
// The same through the parallel export, with its thread count.
using ParallelInvoke = int32_t (*)(uint32_t* pixels, int32_t width, int32_t height,
                                   int32_t stride, const double* args, const uint32_t* source,
                                   int32_t threads);

struct Effect {
  const char* name;      // short name: kvfx's, and GStreamer's as kvfx<name>
  const char* function;  // the exported C function
  const char* parallel_function;  // its kelvo_fx_parallel.h twin, with threads last
  const char* summary;
  Input input;
  const kvfx::EntryPolicy* entry;
  bool two_buffers;      // takes a source and a destination (drop shadow)
  std::vector<Param> params;
  Invoke call;
  ParallelInvoke parallel_call;
  std::vector<Kind> c_types;  // what the C function takes after the buffer
  Visit visit;
  Alpha alpha;
};

const std::vector<Effect>& effects();
// nullptr when no effect has that short name or C function name.
const Effect* find_effect(std::string_view name);
// The index of `name` among effect.params (its alias counts), or -1.
int find_param(const Effect& effect, std::string_view name);
// Every parameter at its default, in call order.
std::vector<double> default_args(const Effect& effect);

// Argument conversions the invokers use: a value outside the type's range
// saturates and NaN becomes 0, so no call converts out of range (callers
// check ranges first; these only keep a wrong value defined).
int32_t to_int32(double v);
uint32_t to_uint32(double v);

}  // namespace kvfx_catalogue
