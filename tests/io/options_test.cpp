// Defaults of the layer settings record.
#include "io/text_protocol_layer_options.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(LayerOptions, DefaultsAreTheDocumentedValues) {
    io::proto::text_protocol_layer_options o;
    EXPECT_TRUE(o.idle_timeout.is_pos_infinity());
    // The special value is the largest tick count, not some long finite time.
    EXPECT_EQ(INT64_C(0x7FFFFFFFFFFFFFFF), o.idle_timeout.ticks());
    EXPECT_EQ(8192u, o.read_buffer_size);
    EXPECT_FALSE(o.strand_send_completions);
    EXPECT_EQ(3000000, o.explorer.wait.total_microseconds());
    EXPECT_EQ(3u, o.explorer.retries);
    EXPECT_TRUE(o.discovery_stop_on_first);
    EXPECT_TRUE(o.discovery_text.empty());
    EXPECT_EQ(8192u, o.send_batch_size);
    EXPECT_TRUE(o.sequence_numbering);
}
