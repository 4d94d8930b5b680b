// 256-entry channel tables: a per-channel map that depends only on the channel
// value and the call's arguments, evaluated once per value by its one-word
// formula, so a lookup gives exactly what the formula gives.
#pragma once

#include <array>
#include <cstdint>

namespace kvfx {

using ChannelTable = std::array<uint8_t, 256>;

// table[v] = map(v) for v = 0..255; map returns a byte value 0..255.
template <class Map>
inline ChannelTable make_channel_table(Map map) {
  ChannelTable t{};
  for (uint32_t v = 0; v < 256; ++v) t[v] = static_cast<uint8_t>(map(v));
  return t;
}

// Rewrites red, green and blue of words[0 .. count - 1] through the table;
// alpha is kept. Used for whole runs and for single rows alike.
void apply_channel_table(uint32_t* words, int64_t count, const ChannelTable& t);

// The work of apply_channel_table over `words` words, in the words of work
// that a split counts (split.h): less than `words` where the lookups run
// many times faster than the effects a piece's size was set for.
int64_t channel_table_work(int64_t words);

// The plain one-word form that every fast path of apply_channel_table matches.
inline uint32_t apply_channel_table_word(uint32_t w, const ChannelTable& t) {
  return (w & 0xFF000000u) | uint32_t{t[(w >> 16) & 0xFF]} << 16 |
         uint32_t{t[(w >> 8) & 0xFF]} << 8 | uint32_t{t[w & 0xFF]};
}

// The same with a table of its own for each of red, green and blue.
void apply_channel_tables(uint32_t* words, int64_t count, const ChannelTable& red,
                          const ChannelTable& green, const ChannelTable& blue);

inline uint32_t apply_channel_tables_word(uint32_t w, const ChannelTable& red,
                                          const ChannelTable& green, const ChannelTable& blue) {
  return (w & 0xFF000000u) | uint32_t{red[(w >> 16) & 0xFF]} << 16 |
         uint32_t{green[(w >> 8) & 0xFF]} << 8 | uint32_t{blue[w & 0xFF]};
}

}  // namespace kvfx
