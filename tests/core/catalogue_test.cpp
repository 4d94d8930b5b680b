// The catalogue's own consistency: what the tool, the bindings and the tests
// read from it must agree with the C functions it describes.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "effect_catalogue.h"

namespace {

using kvfx_catalogue::Kind;

bool same_c_type(Kind declared, Kind c_type) {
  const bool colour = declared == Kind::kColour || declared == Kind::kColourAlpha;
  return colour ? c_type == Kind::kColour : declared == c_type;
}

// Each name and other name is also a GStreamer element's property: a valid
// GObject property name, apart from the element's own properties and from
// the effect's other spellings once GLib writes '_' as '-'.
bool property_name(const std::string& n) {
  if (n.empty() || !std::isalpha(static_cast<unsigned char>(n[0]))) return false;
  for (char c : n)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  return true;
}

std::string dashed(std::string n) {
  for (char& c : n) c = c == '_' ? '-' : c;
  return n;
}

TEST(Catalogue, EveryNameIsAPropertyName) {
  for (const auto& e : kvfx_catalogue::effects()) {
    SCOPED_TRACE(e.name);
    std::set<std::string> taken = {"name", "parent", "qos", "animate"};
    for (const auto& p : e.params)
      for (const char* n : {p.name, p.alias}) {
        if (!n) continue;
        SCOPED_TRACE(n);
        EXPECT_TRUE(property_name(n));
        EXPECT_TRUE(taken.insert(dashed(n)).second) << "two spellings meet";
      }
  }
}

TEST(Catalogue, ParametersMatchTheCFunctionsAndTheirRanges) {
  std::set<std::string> names;
  for (const auto& e : kvfx_catalogue::effects()) {
    SCOPED_TRACE(e.name);
    EXPECT_TRUE(names.insert(e.name).second) << "duplicate short name";
    EXPECT_TRUE(names.insert(e.function).second) << "duplicate function";
    EXPECT_EQ(kvfx_catalogue::find_effect(e.function), &e);
    ASSERT_EQ(e.params.size(), e.c_types.size()) << "argument count differs from the C function";
    std::set<std::string> params;
    for (size_t i = 0; i < e.params.size(); ++i) {
      const auto& p = e.params[i];
      SCOPED_TRACE(p.name);
      EXPECT_TRUE(same_c_type(p.kind, e.c_types[i]));
      EXPECT_TRUE(params.insert(p.name).second);
      if (p.alias) {
        EXPECT_TRUE(params.insert(p.alias).second);
      }
      EXPECT_EQ(kvfx_catalogue::find_param(e, p.name), static_cast<int>(i));
      EXPECT_LE(p.min, p.soft_min);
      EXPECT_LE(p.soft_min, p.fallback);
      EXPECT_LE(p.fallback, p.soft_max);
      EXPECT_LE(p.soft_max, p.max);
      if (p.kind != Kind::kReal) {
        EXPECT_EQ(p.fallback, static_cast<double>(static_cast<int64_t>(p.fallback)));
      }
    }
  }
}

// A host without alpha (BGRx video) leaves the top byte as it comes to every
// effect but those said to read it: their colour must not depend on it, and
// the effect said to read it must show that it does.
TEST(Catalogue, AlphaReachesTheColourOnlyWhereItIsSaidTo) {
  constexpr int kWidth = 48, kHeight = 40;
  std::vector<uint32_t> opaque(kWidth * kHeight), any(opaque.size());
  uint32_t seed = 12345;
  for (size_t i = 0; i < opaque.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    opaque[i] = seed | 0xFF000000u;
    any[i] = (opaque[i] & 0x00FFFFFFu) | (seed << 8 & 0xFF000000u);
  }
  for (const auto& e : kvfx_catalogue::effects()) {
    SCOPED_TRACE(e.name);
    std::vector<double> args = kvfx_catalogue::default_args(e);
    // A colour that shows: a black shadow adds no colour at all.
    for (size_t i = 0; i < args.size(); ++i)
      if (e.params[i].kind == Kind::kColour || e.params[i].kind == Kind::kColourAlpha)
        args[i] = 0x80FF8040;
    std::vector<uint32_t> a = opaque, b = any;
    ASSERT_EQ(e.call(a.data(), kWidth, kHeight, 4 * kWidth, args.data(), nullptr), 0);
    ASSERT_EQ(e.call(b.data(), kWidth, kHeight, 4 * kWidth, args.data(), nullptr), 0);
    bool same = true;
    for (size_t i = 0; i < a.size(); ++i) same = same && ((a[i] ^ b[i]) & 0x00FFFFFFu) == 0;
    EXPECT_EQ(same, e.alpha == kvfx_catalogue::Alpha::kApart);
  }
}

TEST(Catalogue, ArgumentConversionsSaturate) {
  EXPECT_EQ(kvfx_catalogue::to_int32(-1e300), INT32_MIN);
  EXPECT_EQ(kvfx_catalogue::to_int32(1e300), INT32_MAX);
  EXPECT_EQ(kvfx_catalogue::to_int32(0.0 / 0.0), 0);
  EXPECT_EQ(kvfx_catalogue::to_int32(-7.9), -7);
  EXPECT_EQ(kvfx_catalogue::to_uint32(-1.0), 0u);
  EXPECT_EQ(kvfx_catalogue::to_uint32(4294967296.0), UINT32_MAX);
  EXPECT_EQ(kvfx_catalogue::to_uint32(2147483648.0), 2147483648u);
}

}  // namespace
