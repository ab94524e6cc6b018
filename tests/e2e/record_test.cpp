// veldra-record as a process against a real mosquitto: the lines it records are the client's own
// (by its line builder, and as the real client saved them under Xvfb), it rides out a broker
// restart and a refused login, ends cleanly on SIGTERM, reopens its file on SIGHUP, keeps every
// message of a flood, drops one over its size limit, and refuses bad options.
#include <ctime>

#include "log/log_view.h"
#include "mesh/channel_crypto.h"
#include "mesh/receive.h"
#include "tests/e2e/recording.h"
#include "tests/mqtt/mesh_envelope.h"

namespace vchat::e2e {
namespace {

// Milliseconds since 1970 of "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::int64_t isoMs(const std::string& iso) {
    std::tm t{};
    if (!strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%S", &t)) return -1;
    return static_cast<std::int64_t>(timegm(&t)) * 1000 + std::stoi(iso.substr(20, 3));
}

TEST_F(Recorder, RecordsExactlyTheClientsLinesAsTextAndAsJsonl) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    const std::vector<std::string> common = {"--root", "msh/EU", "--decode-raw", "--channel-psk", "AQ=="};
    Recording text(*broker, common);
    std::vector<std::string> jsonlArgs = common;
    jsonlArgs.insert(jsonlArgs.end(), {"--format", "jsonl"});
    Recording jsonl(*broker, jsonlArgs);
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 4, 20s));

    const std::string plaintext = std::string("\x08\x01\x12\x0b", 4) + "Hello mesh!";
    const std::pair<std::string, std::string> messages[] = {
        {"msh/EU/2/json/LongFast/!aabbccdd", R"({"from":1,"type":"text","payload":{"text":"caf\u00e9 \"x\""}})"},
        {"msh/EU/2/json/LongFast/!aabbccdd", "{\"type\":\"text\",\"payload\":{\"text\":\"bad \xFF\xC3 byte\"}}"},
        {"msh/EU/2/e/LongFast/!aabbccdd",
         testing::meshEnvelope("LongFast", 4000000000u, 7,
                               testing::encryptForChannel(std::string(1, '\x01'), 4000000000u, 7, plaintext))},
        {"msh/EU/2/json/LongFast/!aabbccdd", std::string("\x00\x01not json", 10)},
    };
    MqttConfig config;   // as the recorder's worker holds it
    config.rootTopic = "msh/EU";
    config.decodeRaw = true;
    config.channelPsk = "AQ==";
    config.channelKey = decodeBase64(config.channelPsk);
    std::vector<std::string> expected;
    std::vector<std::string> kinds;
    for (const auto& [topic, payload] : messages) {
        std::string line;
        LineKind kind = LineKind::Status;
        ASSERT_TRUE(publishLine(topic, payload, config, line, kind));
        expected.push_back(line);
        kinds.push_back(kind == LineKind::Json ? "json" : kind == LineKind::Envelope ? "envelope" : "raw");
        publish(*broker, topic, payload);
    }
    ASSERT_EQ(kinds, (std::vector<std::string>{"json", "json", "envelope", "raw"}));

    auto tail = [&](std::vector<std::string> lines) {
        return lines.size() < expected.size() ? lines
                                              : std::vector<std::string>(lines.end() - static_cast<long>(expected.size()), lines.end());
    };
    EXPECT_TRUE(waitUntil([&] { return tail(text.texts()) == expected; }, 20s)) << readFile(text.path());
    EXPECT_TRUE(waitUntil([&] { return tail(jsonl.jsonTexts()) == expected; }, 20s)) << readFile(jsonl.path());

    // The text file is a saved log (the parse checks the mark, the stamps and CR LF), whole lines cut
    // nowhere; both formats say the same lines, status lines included.
    const std::vector<std::string> texts = text.texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), "Connecting...");
    EXPECT_TRUE(contains(texts, "Subscribed: msh/EU/2/e/#"));
    EXPECT_EQ(jsonl.jsonTexts(), texts);
    const std::vector<JsonObject> objects = jsonl.objects();
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const JsonObject& o = objects[i];
        const bool message = i + expected.size() >= objects.size();
        const std::string kind = message ? kinds[i + expected.size() - objects.size()] : "status";
        EXPECT_EQ(o.at("kind"), kind) << i;
        EXPECT_EQ(o.count("topic"), message ? 1u : 0u) << i;
        EXPECT_TRUE(hasShape(o.at("time"), "####-##-##T##:##:##.###Z")) << o.at("time");
        EXPECT_LE(std::abs(isoMs(o.at("time")) / 1000 - std::time(nullptr)), 60) << o.at("time");
    }
}

TEST_F(Recorder, SaysWhatTheClientSavedForTheSameTraffic) {
    requireTools();
    if (HasFatalFailure()) return;
    Xvfb x;
    ASSERT_TRUE(x.start()) << "Xvfb did not start";
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    ClientWindow client(x);
    client.start();
    if (HasFatalFailure()) return;
    client.setField(centreOf(kBrokerHost), 20, "127.0.0.1");
    client.setField(centreOf(kPort), 8, std::to_string(broker->port()));
    client.click(centreOf(kDecodeRaw));
    client.click(centreOf(kConnect));
    Recording rec(*broker, {"--decode-raw"});   // the form's defaults otherwise, as the client's
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 4, 20s));
    Simulator sim;
    sim.start(broker->port(), {"--count", "60", "--rate", "150", "--seed", "12"});
    ASSERT_TRUE(sim.waitSent(60, 60s)) << sim.output();
    const std::string last = sim.sent().back().expected;
    const std::vector<std::string> saved =
        withoutSaveReports(saveUntilShown(client, last));
    ASSERT_TRUE(waitUntil([&] { return contains(rec.texts(), last); }, 20s));
    EXPECT_EQ(messageLines(saved).size(), 60u);
    EXPECT_EQ(rec.texts(), saved);
}

TEST_F(Recorder, GoesOnAfterTheBrokerIsKilledAndRestartedOnItsPort) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    Recording rec(*broker, {"--root", "msh/EU", "--format", "jsonl"});
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 1, 20s));
    const std::string topic = "msh/EU/2/json/LongFast/!01020304";
    publish(*broker, topic, R"({"n":"before"})");
    ASSERT_TRUE(waitUntil([&] { return contains(rec.jsonTexts(), "msg " + topic + "\n{\"n\":\"before\"}"); }, 20s));

    broker->kill();
    ASSERT_TRUE(waitUntil([&] { return contains(rec.jsonTexts(), "error: TCP connect failed"); }, 20s));
    ASSERT_TRUE(broker->restart());
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 2, 30s));
    std::string lines;
    std::vector<std::string> expected = {"msg " + topic + "\n{\"n\":\"before\"}"};
    for (int i = 0; i < 50; ++i) {
        lines += "{\"n\":" + std::to_string(i) + "}\n";
        expected.push_back("msg " + topic + "\n{\"n\":" + std::to_string(i) + "}");
    }
    TempDir dir;
    writeFile(dir.file("lines"), lines);
    ASSERT_EQ(runCommand("mosquitto_pub -h 127.0.0.1 -p " + broker->portText() + " -t '" + topic + "' -l < " +
                         dir.file("lines")),
              0);
    EXPECT_TRUE(waitUntil([&] { return messageLines(rec.jsonTexts()) == expected; }, 20s)) << readFile(rec.path());

    // Loss, failed tries and the way back are status lines, in that order.
    const std::vector<std::string> texts = rec.jsonTexts();
    std::vector<std::string> steps;
    for (const std::string& t : texts) {
        if (t == "error: connection lost" || t == "error: TCP connect failed" || t == "Connected to broker." ||
            startsWith(t, "Next try in ")) {
            if (steps.empty() || steps.back() != t.substr(0, 8)) steps.push_back(t.substr(0, 8));
        }
    }
    const std::vector<std::string> shape = {"Connecte", "error: c", "Next try", "error: T", "Next try", "Connecte"};
    EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + static_cast<long>(std::min(steps.size(), shape.size()))),
              shape);
}

TEST_F(Recorder, ARefusedLoginIsTriedAgainAtGrowingGaps) {
    TempDir dir;
    ASSERT_EQ(runCommand("mosquitto_passwd -c -b " + dir.file("passwd") + " alice 's3cret pw' 2>/dev/null"), 0);
    auto broker = Mosquitto::start("allow_anonymous false\npassword_file " + dir.file("passwd") + "\n");
    ASSERT_TRUE(broker);
    writeFile(dir.file("pw"), "wrong\n");
    Recording rec(*broker, {"--user", "alice", "--password-file", dir.file("pw"), "--format", "jsonl"});

    // Tries at about 0, 1, 3 and 7 s; the fifth would come at 11.25 s at the earliest.
    std::this_thread::sleep_for(10500ms);
    std::vector<std::int64_t> tries;
    int refusals = 0;
    for (const JsonObject& o : rec.objects()) {
        if (o.at("text") == "Connecting...") tries.push_back(isoMs(o.at("time")));
        refusals += o.at("text") == "error: MQTT handshake/login failed";
    }
    ASSERT_GE(tries.size(), 3u) << readFile(rec.path());
    int inFirstTen = 0;
    for (std::int64_t t : tries) inFirstTen += t - tries.front() < 10000;
    EXPECT_LE(inFirstTen, 5);
    EXPECT_GE(refusals, static_cast<int>(tries.size()) - 1);
    for (std::size_t i = 2; i < tries.size(); ++i) {
        EXPECT_GT(tries[i] - tries[i - 1], tries[i - 1] - tries[i - 2]) << "gap " << i;
    }
    EXPECT_TRUE(rec.process().running());
}

TEST_F(Recorder, SigtermDisconnectsAndEndsWithinASecond) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    Recording rec(*broker, {"--root", "msh/EU"});
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 1, 20s));
    const auto sent = Clock::now();
    rec.process().signal(SIGTERM);
    const std::optional<int> status = rec.process().wait(1s);
    EXPECT_LT(Clock::now() - sent, 1s);
    EXPECT_EQ(status, std::optional<int>(0));
    EXPECT_TRUE(broker->waitForLog("Received DISCONNECT from korvane-", 1, 5s));
    ASSERT_FALSE(rec.texts().empty());
    EXPECT_EQ(rec.texts().back(), "Disconnected.");
}

TEST_F(Recorder, SighupReopensTheFileAfterItWasMoved) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    Recording rec(*broker, {"--root", "msh/EU"});
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 1, 20s));
    const std::string topic = "msh/EU/2/json/LongFast/!01020304";
    const std::string before = "msg " + topic + "\n{\"n\":1}";
    const std::string after = "msg " + topic + "\n{\"n\":2}";
    publish(*broker, topic, "{\"n\":1}");
    ASSERT_TRUE(waitUntil([&] { return contains(rec.texts(), before); }, 20s));

    const std::string moved = rec.path() + ".1";
    ASSERT_EQ(std::rename(rec.path().c_str(), moved.c_str()), 0);
    rec.process().signal(SIGHUP);
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(rec.path()); }, 5s));
    publish(*broker, topic, "{\"n\":2}");
    EXPECT_TRUE(waitUntil([&] { return contains(rec.texts(), after); }, 20s)) << readFile(rec.path());
    EXPECT_FALSE(contains(rec.texts(), before));   // texts() is empty unless the new file has its mark
    const std::optional<std::vector<std::string>> old = parseSavedLog(readFile(moved));
    ASSERT_TRUE(old);
    EXPECT_TRUE(contains(*old, before));
    EXPECT_FALSE(contains(*old, after));
}

TEST_F(Recorder, KeepsEveryOneOfTwentyThousandMessagesSentAtFullSpeed) {
    ASSERT_TRUE(std::filesystem::exists(simulatorBinary()));
    // No queue limit in the broker, so whatever goes missing went missing in the recorder.
    auto broker = Mosquitto::start("allow_anonymous true\nmax_queued_messages 0\nmax_queued_bytes 0\n");
    ASSERT_TRUE(broker);
    Recording rec(*broker, {"--decode-raw"});   // the simulator's root topic and key are the client's
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 2, 20s));
    Simulator sim;
    sim.start(broker->port(), {"--count", "20000", "--rate", "0", "--seed", "11"});
    ASSERT_TRUE(sim.waitSent(20000, 120s)) << sim.output();
    std::vector<std::string> expected;
    for (const SentRecord& r : sim.sent()) expected.push_back(r.expected);
    ASSERT_EQ(expected.size(), 20000u);
    const std::string last = expected.back();
    // Read every 200 ms, not 10: the file grows to megabytes while the recorder is at work.
    const auto deadline = Clock::now() + 120s;
    while (Clock::now() < deadline && readFile(rec.path()).find(last) == std::string::npos) {
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(messageLines(rec.texts()), expected);
}

TEST_F(Recorder, AMessageOverMaxMessageSizeIsOneStatusLineAndTheNextIsRecorded) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    Recording rec(*broker, {"--root", "msh/EU", "--max-message-size", "1K"});
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 1, 20s));
    const std::string topic = "msh/EU/2/json/LongFast/!01020304";
    const std::string big = "{\"pad\":\"" + std::string(2000, 'x') + "\"}";
    publish(*broker, topic, big);
    publish(*broker, topic, "{\"n\":1}");
    const std::string next = "msg " + topic + "\n{\"n\":1}";
    ASSERT_TRUE(waitUntil([&] { return contains(rec.texts(), next); }, 20s)) << readFile(rec.path());
    const std::vector<std::string> texts = rec.texts();
    ASSERT_GE(texts.size(), 2u);
    const std::string size = std::to_string(2 + topic.size() + big.size());
    EXPECT_EQ(texts[texts.size() - 2], "dropped message on " + topic + ": " + size + " bytes, over the 1024-byte limit");
    EXPECT_EQ(texts.back(), next);
}

TEST_F(Recorder, ABadOptionIsOneLineOnStandardErrorAndStatus2) {
    const std::vector<std::vector<std::string>> rows = {
        {"--password", "secret"}, {"--format", "csv"}, {"--password-file", "/nonexistent/pw"}, {"--port"}};
    for (const std::vector<std::string>& args : rows) {
        std::vector<std::string> argv = {recorderBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string output;
        EXPECT_EQ(runProgram(argv, {}, &output), 2) << args[0];
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
        EXPECT_NE(output.find(args[0]), std::string::npos) << output;
    }
}

}  // namespace
}  // namespace vchat::e2e
