// The display list built from monitor records, sizes, waking, and screen names.
#include "display/Displays.h"

#include "base/Clock.h"
#include "display/DisplayNames.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tovo;

namespace {

class FakeDisplaySource : public DisplaySource {
public:
    std::vector<MonitorRecord> monitors() override { return list; }
    bool asleep() override { return sleepingChecks > 0 && sleepingChecks-- > 0; }
    void declareUserActivity() override { ++activity; }

    std::vector<MonitorRecord> list;
    int sleepingChecks = 0;  // how many more checks find the display asleep
    int activity = 0;
};

MonitorRecord monitor(uint32_t id, int x, int y, int w, int h, bool primary = false) {
    MonitorRecord m;
    m.id = id;
    m.x = x;
    m.y = y;
    m.width = w;
    m.height = h;
    m.primary = primary;
    return m;
}

struct DisplaysFixture : ::testing::Test {
    std::shared_ptr<FakeDisplaySource> source = std::make_shared<FakeDisplaySource>();
    std::vector<std::chrono::milliseconds> sleeps;
    Pause pause = [this](std::chrono::milliseconds d) { sleeps.push_back(d); };
    Displays displays{*source, std::nullopt, pause};
};

}  // namespace

TEST(DisplayList, MirroredAndEmptyMonitorsAreLeftOutAndThePrimaryIsMain) {
    auto list = Displays::fromMonitors({monitor(10, 0, 0, 1920, 1080), monitor(11, 0, 0, 1920, 1080, true),
                                        monitor(12, 1920, 0, 0, 1080), monitor(13, 1920, 0, 1280, 1024, true)},
                                       false);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id, 10u);
    EXPECT_FALSE(list[0].main);
    EXPECT_EQ(list[1].id, 13u);
    EXPECT_TRUE(list[1].main);

    auto noPrimary = Displays::fromMonitors({monitor(1, 0, 0, 800, 600), monitor(2, 800, 0, 800, 600)}, true);
    EXPECT_TRUE(noPrimary[0].main);
    EXPECT_FALSE(noPrimary[1].main);
    EXPECT_TRUE(noPrimary[1].asleep);
    EXPECT_EQ(noPrimary[0].json(), (nlohmann::json{{"id", 1},
                                                   {"width", 800.0},
                                                   {"height", 600.0},
                                                   {"scale", 1.0},
                                                   {"main", true},
                                                   {"asleep", true},
                                                   {"kind", "external"}}));
}

TEST(DisplayList, LogicalLayouts) {
    auto one = Displays::parseMonitorLayout("800x600+10+20");
    ASSERT_TRUE(one);
    EXPECT_TRUE((*one)[0].primary);
    EXPECT_EQ((*one)[0].y, 20);

    for (const char* bad : {"", "800x600", "800x600+1", "0x600+0+0", "axb+0+0", "800x600+0+0,", "800x600+0+0;x"}) {
        EXPECT_FALSE(Displays::parseMonitorLayout(bad)) << bad;
    }
}

TEST_F(DisplaysFixture, EnvironmentSplitsTheScreen) {
    source->list = {monitor(60, 0, 0, 1920, 1080, true)};
    Displays split(*source, "960x1080+0+0,960x1080+960+0*", pause);
    auto list = split.active();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(list[1].main);
    EXPECT_EQ(split.resolve(std::nullopt), 2u);
    EXPECT_EQ(split.resolve(1), 1u);

    // Without a desktop there are no displays, layout or not.
    source->list.clear();
    EXPECT_TRUE(split.active().empty());
    source->list = {monitor(60, 0, 0, 1920, 1080, true)};
    EXPECT_EQ(Displays(*source, "garbage", pause).active().size(), 1u);
}

TEST_F(DisplaysFixture, ResolveAndTargetSize) {
    source->list = {monitor(5, 0, 0, 1366, 768), monitor(6, 1366, 0, 1921, 1081, true)};
    EXPECT_EQ(displays.resolve(std::nullopt), 6u);
    EXPECT_EQ(displays.resolve(5), 5u);
    EXPECT_THROW(displays.resolve(99), DisplayError);
    EXPECT_EQ(displays.targetSize(6, 10000), std::make_pair(1920, 1080));  // odd sizes made even
    EXPECT_EQ(displays.targetSize(5, 800), std::make_pair(800, 450));
    EXPECT_EQ(displays.targetSize(5, 1), std::make_pair(2, 2));
    EXPECT_EQ(Displays::scaledSize(3000, 3000, 1, 3000), std::make_pair(3000, 2));

    source->list.clear();
    EXPECT_THROW(displays.resolve(std::nullopt), DisplayError);
}

TEST_F(DisplaysFixture, WakeWaitsForASleepingDisplay) {
    source->list = {monitor(1, 0, 0, 800, 600)};
    displays.wake(1);
    EXPECT_EQ(source->activity, 0);
    EXPECT_TRUE(sleeps.empty());

    source->sleepingChecks = 3;  // asleep at the first check and two more
    displays.wake(1);
    EXPECT_EQ(source->activity, 1);
    using ms = std::chrono::milliseconds;
    EXPECT_EQ(sleeps, (std::vector<ms>{ms(100), ms(100), ms(300)}));

    sleeps.clear();
    source->sleepingChecks = 1000;  // never wakes: 20 checks, then the settling pause
    displays.wake(1);
    EXPECT_EQ(sleeps.size(), 21u);
    EXPECT_EQ(sleeps.back(), ms(300));
}

TEST(DisplayNames, EdidNamesConnectorsAndKinds) {
    std::vector<uint8_t> edid(128, 0);
    const uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::copy(header, header + 8, edid.begin());
    // Second descriptor: a monitor name.
    size_t at = 72;
    edid[at + 3] = 0xFC;
    const char name[] = "DELL U2720Q\n ";
    std::copy(name, name + 13, edid.begin() + static_cast<long>(at + 5));
    EXPECT_EQ(DisplayNames::fromEDID(edid), "DELL U2720Q");

    edid[at + 3] = 0xFF;  // a serial number, not a name
    EXPECT_EQ(DisplayNames::fromEDID(edid), std::nullopt);
    EXPECT_EQ(DisplayNames::fromEDID({1, 2, 3}), std::nullopt);

    EXPECT_EQ(DisplayNames::choose(std::string("  LG  "), "HDMI-1"), "LG");
    EXPECT_EQ(DisplayNames::choose(std::nullopt, "HDMI-1"), "HDMI-1");
    EXPECT_EQ(DisplayNames::choose(std::nullopt, "(unknown)"), std::nullopt);
    EXPECT_EQ(DisplayNames::choose(std::string(""), "DP-2"), std::nullopt);

    EXPECT_EQ(DisplayNames::kindOf("eDP-1"), "builtin");
    EXPECT_EQ(DisplayNames::kindOf("LVDS1"), "builtin");
    EXPECT_EQ(DisplayNames::kindOf("HDMI-A-0"), "external");
}
