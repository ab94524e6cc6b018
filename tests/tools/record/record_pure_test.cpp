// What the recorder computes without I/O: the retry schedule, the jsonl and text lines, the options,
// the bound on waiting lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "actions/connection_defaults.h"
#include "log/log_view.h"
#include "tests/log/log_fixtures.h"
#include "tests/support/jsonl_reader.h"
#include "tests/support/test_support.h"
#include "tools/record/backoff.h"
#include "tools/record/record_format.h"
#include "tools/record/record_options.h"
#include "tools/record/record_output.h"

namespace vchat::record {
namespace {

using testing::exactBytes;
using testing::readJsonObject;

// ---- Retry schedule ----------------------------------------------------------------------------

TEST(ReconnectBackoff, EachWaitLiesWithinAQuarterOfItsDoublingMiddleAndTheJitterIsUsed) {
    // Middles of the first ten waits: 1, 2, 4, 8, 16, 32 s, then 60 s for ever.
    const std::int64_t middles[] = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 60000};
    for (std::size_t n = 0; n < std::size(middles); ++n) {
        std::int64_t lowest = INT64_MAX;
        std::int64_t highest = 0;
        for (std::uint32_t seed = 0; seed < 200; ++seed) {
            ReconnectBackoff backoff(seed);
            std::int64_t delay = 0;
            for (std::size_t k = 0; k <= n; ++k) delay = backoff.nextDelayMs();
            lowest = std::min(lowest, delay);
            highest = std::max(highest, delay);
        }
        const std::int64_t m = middles[n];
        EXPECT_GE(lowest, m * 3 / 4) << "wait " << n;
        EXPECT_LE(highest, m * 5 / 4) << "wait " << n;
        // 200 draws reach well into both outer tenths of the band.
        EXPECT_LT(lowest, m * 8 / 10) << "wait " << n;
        EXPECT_GT(highest, m * 12 / 10) << "wait " << n;
    }
}

TEST(ReconnectBackoff, OnlyAConnectionOfAMinuteStartsTheScheduleOver) {
    const struct {
        std::int64_t upMs;
        std::int64_t middle;
    } rows[] = {{0, 16000}, {59999, 16000}, {60000, 1000}, {3600000, 1000}};
    for (const auto& row : rows) {
        ReconnectBackoff backoff(7);
        for (int k = 0; k < 4; ++k) backoff.nextDelayMs();   // 1, 2, 4, 8 s; the next is 16 s
        backoff.connectedFor(row.upMs);
        const std::int64_t delay = backoff.nextDelayMs();
        EXPECT_GE(delay, row.middle * 3 / 4) << row.upMs;
        EXPECT_LE(delay, row.middle * 5 / 4) << row.upMs;
    }
}

// ---- Lines -------------------------------------------------------------------------------------

const WallClock::time_point kSampleWhen = WallClock::from_time_t(testing::kSampleTime) + std::chrono::milliseconds(42);

TEST(JsonlLine, TextsComeBackByteForByteAndInvalidUtf8CarriesItsBytes) {
    const struct {
        std::string bytes;
        std::string json;   // the "text" member as written
        bool valid;
    } rows[] = {
        {"plain", R"("plain")", true},
        {"q\"b\\s/", R"("q\"b\\s/")", true},
        {"a\nb\rc\td\b\f", R"("a\nb\rc\td\b\f")", true},
        {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\"", true},
        {"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"", true},
        {"a\xFF" "b", "\"a\xEF\xBF\xBD" "b\"", false},                        // never a UTF-8 byte
        {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\"", false},                   // sequence cut short
        {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\"", false},                   // overlong '/'
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"", false},   // surrogate
        {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"", false},   // above U+10FFFF
        {"\x80\n", "\"\xEF\xBF\xBD\\n\"", false},
    };
    LineFormatter formatter(OutputFormat::Jsonl, false);
    for (const auto& row : rows) {
        EXPECT_EQ(jsonString(row.bytes), row.json) << row.json;
        const std::string line = formatter.format(WorkerLine{LineKind::Raw, "msh/t\xFF", row.bytes}, kSampleWhen);
        ASSERT_EQ(line.back(), '\n');
        const auto object = readJsonObject(line.substr(0, line.size() - 1));
        ASSERT_TRUE(object) << line;
        EXPECT_EQ(exactBytes(*object, "text"), row.bytes) << line;
        EXPECT_EQ(object->count("bytes"), row.valid ? 0u : 1u) << line;
        EXPECT_EQ(exactBytes(*object, "topic"), "msh/t\xFF") << line;
        EXPECT_EQ(object->at("time"), "2026-12-06T08:03:58.042Z");
        EXPECT_EQ(object->at("kind"), "raw");
    }
}

TEST(JsonlLine, StatusLinesHaveNoTopicAndEveryKindHasItsName) {
    LineFormatter formatter(OutputFormat::Jsonl, false);
    const std::pair<LineKind, const char*> kinds[] = {
        {LineKind::Status, "status"}, {LineKind::Json, "json"}, {LineKind::Envelope, "envelope"}, {LineKind::Raw, "raw"}};
    for (const auto& [kind, name] : kinds) {
        const std::string topic = kind == LineKind::Status ? "" : "t";
        const std::string line = formatter.format(WorkerLine{kind, topic, "x"}, kSampleWhen);
        const auto object = readJsonObject(line.substr(0, line.size() - 1));
        ASSERT_TRUE(object) << line;
        EXPECT_EQ(object->at("kind"), name);
        EXPECT_EQ(object->count("topic"), topic.empty() ? 0u : 1u) << line;
    }
}

class TextLine : public testing::UtcClock {};

TEST_F(TextLine, IsTheSavedLogLineAndBothFormatsCutAt8000BytesUnlessTold) {
    const std::string longText = std::string(kMaxLogText - 1, 'a') + "\xC3\xA9" + std::string(500, 'b');
    for (bool noCut : {false, true}) {
        const std::string kept = noCut ? longText : longText.substr(0, kMaxLogText);   // splits the é
        LineFormatter text(OutputFormat::Text, noCut);
        EXPECT_EQ(text.format(WorkerLine{LineKind::Json, "t", longText}, kSampleWhen),
                  "06.12.2026, 08:03:58  " + kept + "\r\n");
        LineFormatter jsonl(OutputFormat::Jsonl, noCut);
        const std::string line = jsonl.format(WorkerLine{LineKind::Json, "t", longText}, kSampleWhen);
        const auto object = readJsonObject(line.substr(0, line.size() - 1));
        ASSERT_TRUE(object);
        EXPECT_EQ(exactBytes(*object, "text"), kept);
    }
    EXPECT_EQ(LineFormatter(OutputFormat::Text, false).fileStart(), "\xEF\xBB\xBF");
    EXPECT_EQ(LineFormatter(OutputFormat::Jsonl, false).fileStart(), "");
}

TEST(TerminalText, ControlBytesAndC1ControlsAreEscapedAndUtf8IsLeftAlone) {
    const struct {
        std::string bytes;
        std::string shown;
    } rows[] = {
        {"plain text, \"quoted\\\" and \t tab\nnext", "plain text, \"quoted\\\" and \t tab\nnext"},
        {"\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J"},
        {"over\rwritten\b\x7f", "over\\x0dwritten\\x08\\x7f"},
        {std::string("\x00\x01\x1f", 3), "\\x00\\x01\\x1f"},
        {"csi \xC2\x9B" "2J, nel \xC2\x85", "csi \\xc2\\x9b" "2J, nel \\xc2\\x85"},   // U+009B, U+0085
        {"lone \x9B and \x80", "lone \\x9b and \\x80"},
        {"\xC2\xA0 \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\xC2\xA0 \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"bad \xFF\xC3 and cut \xE2\x82", "bad \xFF\xC3 and cut \xE2\\x82"},
    };
    for (const auto& row : rows) EXPECT_EQ(escapeControls(row.bytes), row.shown) << row.shown;
}

// ---- Options -----------------------------------------------------------------------------------

TEST(RecordOptions, EachBadOptionOrValueIsRefusedByName) {
    const struct {
        std::vector<std::string> args;
        std::string named;
    } rows[] = {
        {{"--bogus"}, "--bogus"},
        {{"stray"}, "stray"},
        {{"--password", "pw"}, "--password"},
        {{"--password=pw"}, "--password"},
        {{"--port", "0"}, "--port"},
        {{"--port=65536"}, "--port"},
        {{"--port", "12a"}, "--port"},
        {{"--host", ""}, "--host"},
        {{"--format", "xml"}, "--format"},
        {{"--hide", "nodeinfo,weather"}, "--hide"},
        {{"--hide", ""}, "--hide"},
        {{"--channel-psk", "%%%"}, "--channel-psk"},
        {{"--output"}, "--output"},
        {{"--decode-raw=yes"}, "--decode-raw"},
        {{"--psk-identity", "me"}, "--psk-identity"},
        {{"--psk-key-file", "k"}, "--psk-key-file"},
        {{"--max-waiting", "0"}, "--max-waiting"},
        {{"--max-waiting", "64MB"}, "--max-waiting"},
        {{"--max-waiting", "K"}, "--max-waiting"},
        {{"--max-waiting", "99999999999999999999"}, "--max-waiting"},
        {{"--max-waiting", "17179869184G"}, "--max-waiting"},
        {{"--max-message-size", "0"}, "--max-message-size"},
        {{"--max-message-size", "257M"}, "--max-message-size"},
        {{"--max-message-size", "4MB"}, "--max-message-size"},
        {{"--config", "/nonexistent/x.conf"}, "--config"},
        {{"--config"}, "--config"},
    };
    for (const auto& row : rows) {
        RecordOptions options;
        std::string error;
        EXPECT_FALSE(parseOptions(row.args, options, error)) << row.args[0];
        EXPECT_NE(error.find(row.named), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

struct Built {
    bool ok = false;
    MqttConfig config;
    std::optional<std::string> notice;
    std::string error;
};

Built build(const std::vector<std::string>& args, const char* env = nullptr) {
    Built b;
    RecordOptions options;
    EXPECT_TRUE(parseOptions(args, options, b.error)) << b.error;
    const PresetChannels presets = makePresetChannels();
    b.ok = buildConfig(options, env, ResolveChannel{&presets}, b.config, b.notice, b.error);
    return b;
}

TEST(RecordOptions, LeftOutTheyAreTheClientsDefaults) {
    const Built b = build({});
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(b.config.host, kDefaultBrokerHost);
    EXPECT_EQ(b.config.port, "1883");
    EXPECT_EQ(b.config.user, kDefaultUser);
    EXPECT_EQ(b.config.password, kDefaultPassword);
    EXPECT_EQ(b.config.rootTopic, kDefaultRootTopic);
    EXPECT_EQ(b.config.channelPsk, kDefaultChannelKey);
    EXPECT_FALSE(b.config.useTls || b.config.decodeRaw || b.config.hideNodeinfo || b.notice);
    EXPECT_EQ(build({"--tls"}).config.port, "8883");
    EXPECT_EQ(build({"--tls", "--port=1884"}).config.port, "1884");
}

TEST(RecordOptions, ChannelKeyFollowsTheClientsPresetRule) {
    const struct {
        std::vector<std::string> args;
        std::string key;
        bool notice;
    } rows[] = {
        {{"--channel", "LongFast"}, "Ag==", true},
        {{"--channel=mediumslow", "--channel-psk", ""}, "Ag==", true},
        {{"--channel", "LongFast", "--channel-psk", "AQ=="}, "AQ==", false},
        {{"--channel", "3"}, std::string(kDefaultChannelKey), false},
        {{"--channel", "Other", "--channel-psk="}, "", false},
    };
    for (const auto& row : rows) {
        const Built b = build(row.args);
        ASSERT_TRUE(b.ok) << b.error;
        EXPECT_EQ(b.config.channelPsk, row.key) << row.args[1];
        EXPECT_EQ(b.notice.has_value(), row.notice) << row.args[1];
    }
    EXPECT_EQ(*build({"--channel", "LongFast"}).notice, "Preset channel detected (LongFast), using default PSK Ag==");
}

TEST(RecordOptions, PasswordAndPskKeyComeFromFilesOrTheEnvironment) {
    testing::TempDir dir;
    testing::writeFile(dir.file("pw"), "s3cret pw\r\n");
    testing::writeFile(dir.file("key"), "  0a1B2c\n");
    testing::writeFile(dir.file("badkey"), "0a1\n");
    EXPECT_EQ(build({}, "from env").config.password, "from env");
    EXPECT_EQ(build({"--password-file", dir.file("pw")}, "from env").config.password, "s3cret pw");
    const Built psk = build({"--psk-identity", "me", "--psk-key-file", dir.file("key")});
    EXPECT_TRUE(psk.config.useTls && psk.config.tlsPsk);
    EXPECT_EQ(psk.config.pskKeyHex, "0a1B2c");
    const Built insecure = build({"--insecure", "--hide=position,traceroute", "--hide", "telemetry"});
    EXPECT_TRUE(insecure.config.useTls && !insecure.config.verifyServer);
    EXPECT_TRUE(insecure.config.hidePosition && insecure.config.hideTraceroute && insecure.config.hideTelemetry);
    EXPECT_FALSE(insecure.config.hideNodeinfo);

    for (const auto& [args, named] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--password-file", dir.file("missing")}, "--password-file"},
             {{"--psk-identity", "me", "--psk-key-file", dir.file("badkey")}, "--psk-key-file"}}) {
        const Built b = build(args);
        EXPECT_FALSE(b.ok);
        EXPECT_NE(b.error.find(named), std::string::npos) << b.error;
    }
}

TEST(RecordOptions, SizesTakeBinaryUnitsAndSayThemBack) {
    const struct {
        const char* text;
        std::size_t bytes;
        const char* said;
    } rows[] = {{"1", 1, "1 bytes"}, {"1000", 1000, "1000 bytes"}, {"64K", 64 << 10, "64 KiB"},
                {"1536K", 1536 << 10, "1536 KiB"}, {"64M", kDefaultMaxWaiting, "64 MiB"}, {"2G", std::size_t{2} << 30, "2 GiB"}};
    for (const auto& row : rows) {
        std::size_t bytes = 0;
        EXPECT_TRUE(parseSize(row.text, bytes)) << row.text;
        EXPECT_EQ(bytes, row.bytes) << row.text;
        EXPECT_EQ(sizeText(bytes), row.said);
    }
}

TEST(RecordOptions, MaxMessageSizeIsTheClientsFourMiBUnlessGivenAndAtMostWhatTheLengthFieldCarries) {
    for (const auto& [args, bytes] : std::vector<std::pair<std::vector<std::string>, std::uint32_t>>{
             {{}, 4194304}, {{"--max-message-size=1K"}, 1024}, {{"--max-message-size", "256M"}, kMaxRemainingLength}}) {
        RecordOptions options;
        std::string error;
        EXPECT_TRUE(parseOptions(args, options, error) && options.maxMessageSize == bytes) << error << bytes;
    }
}

// A --config file stands where it is named: later options win, a file's lines are options.
TEST(RecordOptions, AConfigFileHoldsOptionsInItsPlaceAndTheStemTakesTheFormatsExtension) {
    testing::TempDir dir;
    const std::string conf = dir.file("x.conf");
    testing::writeFile(conf, "# a comment\n\n  host = broker.example.org \nuser=me two\r\ndecode-raw\nformat = jsonl\n"
                             "hide = telemetry,position\noutput = elsewhere\n");
    RecordOptions o;
    std::string error;
    ASSERT_TRUE(parseOptions({"--host", "first", "--config", conf, "--output-stem", "/var/log/x/n", "--port=1884"}, o, error))
        << error;
    EXPECT_EQ(o.host, "broker.example.org");
    EXPECT_EQ(o.user, "me two");
    EXPECT_EQ(o.port, "1884");
    EXPECT_TRUE(o.decodeRaw && o.hideTelemetry && o.hidePosition && !o.hideNodeinfo);
    EXPECT_EQ(o.output, "/var/log/x/n.jsonl");
    ASSERT_TRUE(parseOptions({"--output-stem=/var/log/x/n", "--config=" + conf, "--format", "text"}, o, error));
    EXPECT_EQ(o.output, "elsewhere");   // the file's --output came after the stem

    const struct {
        const char* line;
        const char* named;
    } refused[] = {{"password = secret", "--password"}, {"config = other.conf", "x.conf:2"}, {"= 5", "x.conf:2"},
                   {"colour = blue", "--colour"}, {"port = 0", "--port"}};
    for (const auto& row : refused) {
        testing::writeFile(conf, std::string("# first line\n") + row.line + "\n");
        EXPECT_FALSE(parseOptions({"--config", conf}, o, error)) << row.line;
        EXPECT_NE(error.find(row.named), std::string::npos) << error;
    }
}

// ---- Waiting lines -----------------------------------------------------------------------------

// The bound counts what a line holds in memory; the newest lines beyond it are dropped and counted
// until written lines give their room back.
TEST(LineQueue, PastTheLimitTheNewestAreDroppedAndCountedUntilRoomIsGivenBack) {
    const std::string line(1000, 'x');
    const std::size_t cost = waitingCost(line);
    LineQueue queue(3 * cost + cost / 2);
    for (int i = 0; i < 5; ++i) queue.push(line);
    EXPECT_EQ(queue.waitingLines(), 3u);
    EXPECT_EQ(queue.dropped(), 2u);
    std::string popped;
    std::size_t poppedCost = 0;
    ASSERT_TRUE(queue.pop(popped, poppedCost, std::chrono::milliseconds(0)));
    EXPECT_EQ(poppedCost, cost);
    queue.push(line);   // the popped line still holds its room while it is written
    EXPECT_EQ(queue.dropped(), 3u);
    queue.release(poppedCost);
    queue.push(line);
    EXPECT_EQ(queue.waitingLines(), 3u);
    EXPECT_EQ(queue.takeDropped(), 3u);
    EXPECT_EQ(queue.dropped(), 0u);

    // A line built by appending is held at its size, not at the capacity it grew to.
    std::string grown;
    for (int i = 0; i < 1000; ++i) grown += 'y';
    LineQueue exact(cost);
    exact.push(grown);
    EXPECT_EQ(exact.waitingLines(), 1u);
}

}  // namespace
}  // namespace vchat::record
