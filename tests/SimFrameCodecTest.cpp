#include "SimFrameCodec.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Event = SimFrameCodec::Event;

// Pushes bytes and returns the events other than None, in order.
std::vector<Event> feed(SimFrameCodec& codec, const Bytes& bytes)
{
    std::vector<Event> events;
    for (uint8_t byte : bytes) {
        if (const Event event = codec.push(byte); event != Event::None) {
            events.push_back(event);
        }
    }
    return events;
}

TEST(SimFrameCodecTest, BuildsTheBoardsFrames)
{
    EXPECT_EQ(SimFrameCodec::frame(Bytes{0x06}), (Bytes{0x02, 0x01, 0x06, 0xF9, 0x03}));
    EXPECT_EQ(SimFrameCodec::frame(Bytes{0x06, 0x06}), (Bytes{0x02, 0x02, 0x06, 0x06, 0xF2, 0x03}));
    EXPECT_EQ(SimFrameCodec::frame(Bytes{0x61, 0x62, 0x63}), (Bytes{0x02, 0x03, 0x61, 0x62, 0x63, 0xD7, 0x03}));

    const Bytes full = SimFrameCodec::frame(Bytes(256, 0x01));
    ASSERT_EQ(full.size(), 260u);
    EXPECT_EQ(full[1], 0x00) << "256 data bytes are written as length 0";
    EXPECT_EQ(full[258], 0x00) << "the sum covers the length byte 0 and 256 bytes of 1";
}

TEST(SimFrameCodecTest, ReadsTheHostsFrames)
{
    SimFrameCodec codec;
    EXPECT_EQ(feed(codec, {0x01, 0x07, 0x40, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x00, 0xB3, 0x03}), std::vector{Event::Frame});
    EXPECT_EQ(codec.frame().start, SimFrameCodec::SOH);
    EXPECT_EQ(codec.frame().body, (Bytes{0x40, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x00}));

    EXPECT_EQ(feed(codec, {0x02, 0x03, 0x61, 0x62, 0x63, 0xD7, 0x17}), std::vector{Event::Frame}) << "data frame, ETB";
    EXPECT_EQ(codec.frame().body, (Bytes{0x61, 0x62, 0x63}));
    EXPECT_EQ(codec.frame().end, SimFrameCodec::ETB);

    Bytes full{0x02, 0x00};
    full.insert(full.end(), 256, 0x01);
    full.push_back(0x00);
    full.push_back(0x03);
    EXPECT_EQ(feed(codec, full), std::vector{Event::Frame}) << "a length byte of 0 announces 256 data bytes";
    EXPECT_EQ(codec.frame().body.size(), 256u);
    EXPECT_EQ(codec.frame().raw, full);
}

TEST(SimFrameCodecTest, TellsBadFramesModeEntryAndStrayBytes)
{
    SimFrameCodec codec;
    EXPECT_EQ(feed(codec, {0x01, 0x01, 0x00, 0xFE, 0x03}), std::vector{Event::BadFrame});
    EXPECT_EQ(codec.error(), "bad sum");
    EXPECT_EQ(feed(codec, {0x01, 0x01, 0x00, 0xFF, 0x17}), std::vector{Event::BadFrame}) << "a command frame ends in ETX";
    EXPECT_EQ(feed(codec, {0x02, 0x01, 0x06, 0xF9, 0x04}), std::vector{Event::BadFrame});
    EXPECT_EQ(codec.error(), "bad end byte");

    EXPECT_EQ(feed(codec, {0x00}), std::vector{Event::ModeEntry}) << "0x00 where a frame would begin";
    EXPECT_EQ(feed(codec, {0x01, 0x01, 0x00, 0xFF, 0x03}), std::vector{Event::Frame}) << "0x00 inside a frame is data";
    EXPECT_EQ(feed(codec, {0xFF, 0x03, 0x01, 0x01, 0x00, 0xFF, 0x03}),
              (std::vector{Event::Stray, Event::Stray, Event::Frame}));

    feed(codec, {0x01, 0x07, 0x40});
    EXPECT_TRUE(codec.inFrame());
    codec.reset();
    EXPECT_FALSE(codec.inFrame());
    EXPECT_EQ(feed(codec, {0x00}), std::vector{Event::ModeEntry}) << "a reset frame leaves no trace";
}

}  // namespace
