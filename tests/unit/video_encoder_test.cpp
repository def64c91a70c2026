// The encoder against the real libx264/libx265, and its session rules against a fake.
#include "support/FakeEncoderSession.h"
#include "video/AccessUnit.h"
#include "video/VideoEncoder.h"
#include "video/libav/LibavEncoderSession.h"

#include <gtest/gtest.h>

namespace tovo {
namespace {

using test::fakeFactory;
using test::Script;

VideoPicture picture(int width, int height, uint8_t seed) {
    auto pixels = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < pixels->size(); ++i)
        (*pixels)[i] = static_cast<uint8_t>((i / 4 % 251) * seed + (i % 4) * 40);
    return VideoPicture{pixels, width, height, width * 4, 0, 0};
}

std::vector<int> nalTypes(VideoCodec codec, const std::string& data) {
    std::vector<int> types;
    for (auto nal : splitAnnexB(data)) types.push_back(nalType(codec, nal));
    return types;
}

class RealEncoder : public ::testing::TestWithParam<VideoCodec> {};

TEST_P(RealEncoder, KeyUnitsCarryParameterSetsAndDeltasDoNot) {
    VideoCodec codec = GetParam();
    VideoEncoder encoder(codec, 2000000, 30, libavSessionFactory());
    auto key = encoder.encode(picture(320, 240, 3), 1.0, true);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->isKey);
    EXPECT_EQ(key->width, 320);
    ASSERT_EQ(key->data.compare(0, 4, std::string("\0\0\0\1", 4)), 0);
    auto types = nalTypes(codec, key->data);
    if (codec == VideoCodec::h264) {
        ASSERT_GE(types.size(), 3u);
        EXPECT_EQ(types[0], 7);
        EXPECT_EQ(types[1], 8);
    } else {
        ASSERT_GE(types.size(), 4u);
        EXPECT_EQ(types[0], 32);
        EXPECT_EQ(types[1], 33);
        EXPECT_EQ(types[2], 34);
    }

    // Same time twice: presentation times still increase, and no key comes unasked.
    auto delta = encoder.encode(picture(320, 240, 5), 1.0, false);
    ASSERT_TRUE(delta);
    EXPECT_FALSE(delta->isKey);
    ASSERT_EQ(delta->data.compare(0, 4, std::string("\0\0\0\1", 4)), 0);
    for (int type : nalTypes(codec, delta->data)) EXPECT_FALSE(codec == VideoCodec::h264 ? type == 7 : type == 32);

    // A rate change on the running encoder; an asked-for key comes at once.
    encoder.setBitrate(10000);
    EXPECT_EQ(encoder.bitrate(), 50000);
    auto forced = encoder.encode(picture(320, 240, 7), 1.1, true);
    ASSERT_TRUE(forced);
    EXPECT_TRUE(forced->isKey);

    // A new size is a new session.
    int sessions = encoder.sessionsCreated;
    auto resized = encoder.encode(picture(640, 360, 9), 1.2, false);
    ASSERT_TRUE(resized);
    EXPECT_EQ(encoder.sessionsCreated, sessions + 1);
    EXPECT_EQ(encoder.size(), std::make_pair(640, 360));
    EXPECT_EQ(encoder.isHardware, std::optional<bool>(false));
}

// Pictures that differ everywhere, every time: what no rate factor makes cheap.
VideoPicture noise(int width, int height, uint32_t& state) {
    auto pixels = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4);
    for (auto& byte : *pixels) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return VideoPicture{pixels, width, height, width * 4, 0, 0};
}

TEST(RealEncoderRate, ConstantQualityCostsNothingStillAndObeysARateChangeWithinASecond) {
    VideoEncoder encoder(VideoCodec::h264, 4000000, 30, libavSessionFactory(RateControl{}));
    uint32_t state = 1;
    auto bytesOver = [&](int pictures, double& t, std::optional<VideoPicture> still = std::nullopt) {
        size_t bytes = 0;
        for (int i = 0; i < pictures; ++i, t += 1.0 / 30) {
            auto unit = encoder.encode(still ? *still : noise(640, 360, state), t, t == 0);
            if (unit) bytes += unit->data.size();
        }
        return bytes * 8;
    };
    double t = 0;
    size_t fast = bytesOver(30, t);
    encoder.setBitrate(1000000);
    size_t slowed = bytesOver(30, t);
    // Noise wants far more than either rate: the first second runs at the ceiling (and its
    // one-second buffer), the second at the new one.
    EXPECT_GT(fast, 3000000u);
    EXPECT_LT(slowed, 2200000u) << "the lower rate did not take hold within a second";
    encoder.setBitrate(4000000);
    EXPECT_GT(bytesOver(30, t), 3000000u);

    // The same picture again and again: once it reached its quality (the ceiling held the
    // first pictures of it back), what does not change costs a twentieth of the rate or less,
    // where an average rate would be spent in full.
    VideoPicture still = picture(640, 360, 3);
    bytesOver(45, t, still);
    EXPECT_LT(bytesOver(30, t, still), 200000u);
}

TEST(RateControl, FromTheEnvironment) {
    auto from = [](const char* value) { return RateControl::fromEnvironment([value](const char*) { return value; }); };
    EXPECT_EQ(from(nullptr).mode, RateControl::Mode::quality);
    EXPECT_EQ(from(" Average ").mode, RateControl::Mode::average);
    EXPECT_EQ(from("quality:18").quality, 18);
    EXPECT_EQ(from("quality:99").quality, RateControl{}.quality);
    EXPECT_EQ(from("quality:18x").quality, RateControl{}.quality);
    EXPECT_EQ(from("fast").mode, RateControl::Mode::quality);
}

INSTANTIATE_TEST_SUITE_P(Codecs, RealEncoder, ::testing::Values(VideoCodec::h264, VideoCodec::hevc),
                         [](const auto& info) { return std::string(toString(info.param)); });

TEST(VideoEncoderSessions, PresentationTimesRiseAndKeysGetParameterSets) {
    Script script;
    VideoEncoder encoder(VideoCodec::h264, 1000000, 30, fakeFactory(script));
    auto key = encoder.encode(picture(32, 32, 1), 2.0, true);
    encoder.encode(picture(32, 32, 1), 2.0, false);
    encoder.encode(picture(32, 32, 1), 1.5, false);
    EXPECT_EQ(script.pts, (std::vector<int64_t>{2000000, 2000001, 2000002}));
    ASSERT_TRUE(key);
    EXPECT_EQ(key->data, std::string("\0\0\0\1\x67p\0\0\0\1\x68q\0\0\0\1\x65k", 18));
}

TEST(VideoEncoderSessions, FailuresRebuildTheSession) {
    Script script;
    VideoEncoder encoder(VideoCodec::hevc, 1000000, 30, fakeFactory(script));
    script.submitError = -5;
    EXPECT_EQ(encoder.encodeFrame(picture(32, 32, 1), 0, false).kind, VideoEncodeResult::Kind::failed);
    script.submitError = 0;
    script.next = EncoderOutput::Status::pending;
    EXPECT_EQ(encoder.encodeFrame(picture(32, 32, 1), 0.1, false).kind, VideoEncodeResult::Kind::failed);
    EXPECT_EQ(encoder.flushes, 1);
    script.next = EncoderOutput::Status::dropped;
    EXPECT_EQ(encoder.encodeFrame(picture(32, 32, 1), 0.2, false).kind, VideoEncodeResult::Kind::dropped);
    EXPECT_EQ(encoder.drops, 1);
    EXPECT_EQ(script.opened, 3);
}

TEST(VideoEncoderSessions, ARateTheSessionCannotTakeWaitsForAKeyUnlessItIsLower) {
    Script script;
    script.liveRate = false;
    VideoEncoder encoder(VideoCodec::hevc, 1000000, 30, fakeFactory(script));
    encoder.encode(picture(32, 32, 1), 0, true);
    encoder.setBitrate(4000000);  // a raise: kept until the next key
    encoder.encode(picture(32, 32, 1), 0.1, false);
    EXPECT_EQ(script.opened, 1);
    encoder.encode(picture(32, 32, 1), 0.2, true);
    EXPECT_EQ(script.opened, 2);
    encoder.setBitrate(800000);  // a cut: at once
    encoder.encode(picture(32, 32, 1), 0.3, false);
    EXPECT_EQ(script.opened, 3);
}

}  // namespace
}  // namespace tovo
