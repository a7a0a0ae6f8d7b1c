// Defaults of the layer settings record and the independence of its copies.
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

TEST(LayerOptions, CopiesAreIndependent) {
    io::proto::text_protocol_layer_options owner;
    owner.discovery_text = "where are you";
    owner.explorer.retries = 5;
    io::proto::text_protocol_layer_options layer_copy(owner);
    io::proto::text_protocol_layer_options assigned;
    assigned = owner;

    owner.discovery_text += ", server?";
    owner.explorer.retries = 0;
    owner.explorer.wait = boost::posix_time::milliseconds(1);
    owner.idle_timeout = boost::posix_time::seconds(30);
    owner.sequence_numbering = false;

    for (const auto* copy : {&layer_copy, &assigned}) {
        EXPECT_EQ("where are you", copy->discovery_text);
        EXPECT_EQ(5u, copy->explorer.retries);
        EXPECT_EQ(3, copy->explorer.wait.total_seconds());
        EXPECT_TRUE(copy->idle_timeout.is_pos_infinity());
        EXPECT_TRUE(copy->sequence_numbering);
    }
}
