#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/channel_table.h"
#include "support/image.h"
#include "support/hooks.h"

namespace {

// Every run length 0..200 (all vector tails) at every start offset 0..3 of a
// random buffer, with random tables and an identity/constant table: the run
// must equal the one-word form and the words around it must stay put.
TEST(ChannelTableFastPath, MatchesOneWordFormAtEveryLengthAndOffset) {
  kvfx_test::for_each_level([] {
    std::mt19937 rng(99);
    std::vector<kvfx::ChannelTable> tables;
    for (int i = 0; i < 3; ++i)
      tables.push_back(kvfx::make_channel_table([&](uint32_t) { return rng() & 0xFF; }));
    tables.push_back(kvfx::make_channel_table([](uint32_t v) { return v; }));
    tables.push_back(kvfx::make_channel_table([](uint32_t v) { return 255 - v; }));
    std::vector<uint32_t> buf(220), ref;
    const size_t n = tables.size();
    for (size_t i = 0; i < n; ++i)
      for (bool three : {false, true})
        for (int64_t count = 0; count <= 200; ++count)
          for (int64_t offset = 0; offset < 4; ++offset) {
            // One table for all three channels, or a table each.
            const kvfx::ChannelTable &t = tables[i], &g = three ? tables[(i + 1) % n] : t,
                                     &b = three ? tables[(i + 2) % n] : t;
            kvfx_test::fill_random(buf, static_cast<uint32_t>(rng()));
            // Edge values in the mix: every byte 0x00, 0x7F, 0x80, 0xFF.
            for (size_t k = 0; k < buf.size(); k += 7)
              buf[k] = 0x7F80FF00u ^ (k % 2 ? 0xFFFFFFFFu : 0u);
            ref = buf;
            for (int64_t k = 0; k < count; ++k)
              ref[offset + k] = kvfx::apply_channel_tables_word(ref[offset + k], t, g, b);
            if (three)
              kvfx::apply_channel_tables(buf.data() + offset, count, t, g, b);
            else
              kvfx::apply_channel_table(buf.data() + offset, count, t);
            ASSERT_EQ(buf, ref) << "count " << count << " offset " << offset << " three " << three;
          }
  });
}

TEST(ChannelTableFastPath, EveryChannelValueHitsItsOwnEntry) {
  kvfx_test::for_each_level([] {
    const kvfx::ChannelTable t =
        kvfx::make_channel_table([](uint32_t v) { return (v * 37 + 11) & 0xFF; });
    std::vector<uint32_t> words(256), ref(256);
    for (uint32_t v = 0; v < 256; ++v) {
      words[v] = (255 - v) << 24 | v << 16 | ((v + 85) & 0xFF) << 8 | ((v + 170) & 0xFF);
      ref[v] = kvfx::apply_channel_table_word(words[v], t);
    }
    kvfx::apply_channel_table(words.data(), 256, t);
    EXPECT_EQ(words, ref);
  });
}

}  // namespace
