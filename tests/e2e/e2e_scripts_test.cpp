// The real program under Xvfb with the system's fonts: messages in every script a user may send
// show in the log, emoji in colour, and text typed in another script goes out byte for byte.

#include <cstdio>
#include <cstdlib>

#include "tests/e2e/e2e_fixture.h"

namespace vchat::e2e {
namespace {

// The largest chroma (0 to 1) of any pixel in the log area of the client's window.
double logAreaChroma(const testing::Xvfb& x, const ClientWindow& c) {
    std::string out;
    const std::string crop = std::to_string(kLogRect.w - 2) + "x" + std::to_string(kLogRect.h - 2) + "+" +
                             std::to_string(kLogRect.x + 1) + "+" + std::to_string(kLogRect.y + 1);
    if (testing::runCommand("import -display " + x.display() + " -window " + c.window() + " png:- | convert - -crop " +
                                crop + " +repage -colorspace HCL -channel G -separate -format '%[fx:maxima]' info:",
                            &out) != 0)
        return -1;
    return std::atof(out.c_str());
}

// The client's resident memory in MiB, from /proc.
double residentMib(pid_t pid) {
    const std::string status = testing::readFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atof(status.c_str() + at + 6) / 1024.0;
}

TEST_F(E2eTest, EveryScriptShowsAndTypedChineseGoesOutByteForByte) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    ClientWindow& c = startClient(broker->port());
    ASSERT_TRUE(connect(*broker, false, 1));
    const double before = logAreaChroma(x_, c);
    ASSERT_GE(before, 0) << "no screenshot";
    const double memoryBefore = residentMib(c.process().pid());

    const std::string texts[] = {
        "\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C",                        // Chinese
        "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF",            // Japanese
        "\xEC\x95\x88\xEB\x85\x95\xED\x95\x98\xEC\x84\xB8\xEC\x9A\x94",            // Korean
        "\xE0\xB8\xAA\xE0\xB8\xA7\xE0\xB8\xB1\xE0\xB8\xAA\xE0\xB8\x94\xE0\xB8\xB5", // Thai
        "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D 73",                                     // Hebrew
        "\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85",                                         // Arabic
        "\xE0\xA4\xA8\xE0\xA4\xAE\xE0\xA4\xB8\xE0\xA5\x8D\xE0\xA4\xA4\xE0\xA5\x87", // Devanagari
        "\xF0\x9F\x98\x80\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA",   // emoji
    };
    const std::string topic = "msh/EU_868/2/json/LongFast/!a1b2c3d4";
    std::vector<std::string> want;
    for (const std::string& t : texts) {
        const std::string json = R"({"type":"text","payload":{"text":")" + t + R"("}})";
        ASSERT_EQ(testing::runProgram({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker->port()),
                                       "-t", topic, "-m", json}),
                  0);
        want.push_back("msg " + topic + "\n" + json);
    }
    const std::vector<std::string> lines = logAfter(want.back());
    for (const std::string& w : want) EXPECT_TRUE(contains(lines, w)) << w;
    // The emoji's own colours: nothing in the log area was that colourful before.
    double after = 0;
    waitUntil([&] { return (after = logAreaChroma(x_, c)) > 0.4; }, 10s);
    EXPECT_LT(before, 0.3);
    EXPECT_GT(after, 0.4) << "no colour emoji in the log";
    const double memoryAfter = residentMib(c.process().pid());
    std::printf("[ measure  ] client resident memory: %.1f MiB before, %.1f MiB with every script shown\n",
                memoryBefore, memoryAfter);
    EXPECT_LT(memoryAfter - memoryBefore, 60.0) << "the fallback fonts cost too much memory";

    Simulator sim;
    sim.start(broker->port(), {"--count", "1"});
    ASSERT_TRUE(sim.waitSent(1, 20s)) << sim.output();
    ASSERT_TRUE(broker->waitForLog("Sending SUBACK to gwsim-"));
    const std::string typed = texts[0];
    c.click(centreOf(kMessageLine));
    // Slowly: xdotool lends each character a spare key, and a client that reads the keyboard map
    // after the next loan would see the wrong character.
    ASSERT_EQ(c.xdotool({"type", "--delay", "300", "--", typed}), 0);
    c.key("Return");
    ASSERT_TRUE(sim.waitForOutput("\"payload\":\"" + typed + "\"}", 20s)) << sim.output();
}

}  // namespace
}  // namespace vchat::e2e
