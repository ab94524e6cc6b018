// The real program's start-up and quit, without a display (SDL's dummy video driver and its
// software renderer, chosen through SDL's own environment hints).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using testing::Child;
using testing::clientBinary;
using testing::kFontPath;
using testing::readFile;
using testing::TempDir;

const std::vector<std::string> kHeadless = {"SDL_VIDEODRIVER=dummy", "SDL_RENDER_DRIVER=software"};
constexpr const char* kNoFontMessage = "No TTF font found. Install DejaVuSans/Arial and SDL2_ttf.\n";
// The dummy driver's one display is 1024 x 768, where even the smallest scale does not fit.
const std::string kDummyScreenTooSmall =
    "The screen's usable area (1024x768) is too small for the window at 75 %: parts of it are off the screen.\n";

class Startup : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(access(clientBinary().c_str(), X_OK), 0) << "build veldra-chat first"; }
    TempDir dir;
    TempDir outDir;   // the program's output stays out of its working directory
};

TEST_F(Startup, WithoutTheFontInTheWorkingDirectoryItExitsWithTheMessage) {
    // Not there at all, and there but not a font.
    for (bool garbage : {false, true}) {
        if (garbage) testing::writeFile(dir.file("DejaVuSansMono.ttf"), "not a font");
        const std::string out = outDir.file("stderr");
        Child child;
        ASSERT_TRUE(child.start({clientBinary()}, dir.path(), kHeadless, out));
        EXPECT_EQ(child.wait(60s), std::optional<int>(1));
        EXPECT_EQ(readFile(out), kDummyScreenTooSmall + kNoFontMessage);
    }
}

TEST_F(Startup, RunsUntilSigtermAndExitsWithStatusZero) {
    const std::string font = dir.file("DejaVuSansMono.ttf");
    ASSERT_EQ(symlink(kFontPath, font.c_str()), 0);
    const std::string out = outDir.file("stderr");
    Child child;
    ASSERT_TRUE(child.start({clientBinary()}, dir.path(), kHeadless, out));
    // The font stays open from start-up to shut-down: once it is, the loop runs.
    ASSERT_TRUE(testing::waitUntil([&] { return testing::holdsOpen(child.pid(), kFontPath) || !child.running(); }, 60s))
        << readFile(out);
    ASSERT_TRUE(child.running()) << readFile(out);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(child.running());
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(60s), std::optional<int>(0)) << readFile(out);
    EXPECT_EQ(readFile(out), kDummyScreenTooSmall);
}

}  // namespace
}  // namespace vchat
