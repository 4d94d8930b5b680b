#include "core/channel_table.h"

namespace kvfx {

void apply_channel_table(uint32_t* words, int64_t count, const ChannelTable& t) {
  for (int64_t k = 0; k < count; ++k) words[k] = apply_channel_table_word(words[k], t);
}

}  // namespace kvfx
