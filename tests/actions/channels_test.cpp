#include "actions/channels.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vchat {
namespace {

TEST(ResolveChannel, NamesAndNumbers) {
    const PresetChannels presets = makePresetChannels();
    const ResolveChannel resolve{&presets};
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"", -1},
        {"3", 3},
        {"007", 7},
        {"0", 0},
        {"2147483647", 2147483647},
        {"2147483648", -1},                       // beyond 32 bits: names no channel
        {"99999999999999999999999999", -1},
        {"longfast", 0},
        {"LongFast", 0},
        {"LONGFAST", 0},
        {"shortslow", 1},
        {"ShortFast", 2},
        {"mediumSLOW", 3},
        {"Mesh Varnholt", -1},
        {" 3", -1},                               // a blank among the digits: looked up as a name
        {"3 ", -1},
        {"+3", -1},
        {"-1", -1},
        {"1 2", -1},
        {"long fast", -1},
        {" longfast", -1},
        {"longfast ", -1},
        {"longfastx", -1},
        {"l\xC3\x96ngfast", -1},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(resolve(text), expected) << '"' << text << '"';
    }
}

TEST(ResolveChannel, TableHoldsExactlyTheFourPresets) {
    const PresetChannels presets = makePresetChannels();
    EXPECT_EQ(presets, (PresetChannels{{"longfast", 0}, {"shortslow", 1}, {"shortfast", 2},
                                       {"mediumslow", 3}}));
}

TEST(ResolveChannel, PresetNameIsWholeStringAnyCase) {
    const PresetChannels presets = makePresetChannels();
    const ResolveChannel resolve{&presets};
    EXPECT_TRUE(resolve.isPresetName("LongFast"));
    EXPECT_TRUE(resolve.isPresetName("mediumslow"));
    EXPECT_FALSE(resolve.isPresetName("0"));
    EXPECT_FALSE(resolve.isPresetName(""));
    EXPECT_FALSE(resolve.isPresetName("longfast "));
}

TEST(ResolveChannel, WithoutTableOnlyDigitsResolve) {
    const ResolveChannel resolve{};
    EXPECT_EQ(resolve("12"), 12);
    EXPECT_EQ(resolve("longfast"), -1);
    EXPECT_FALSE(resolve.isPresetName("longfast"));
}

}  // namespace
}  // namespace vchat
