// The recorder as the end-to-end tests start it: one process on a test broker, writing to a file of
// its own (or one the test names), its standard error kept; and publishing with mosquitto_pub.
#pragma once

#include "tests/e2e/e2e_fixture.h"
#include "tests/support/jsonl_reader.h"

namespace vchat::e2e {

inline std::string recorderBinary() { return std::string(VCHAT_BINARY_DIR) + "/tools/record/veldra-record"; }

// One recorder on the broker at 127.0.0.1.
class Recording {
public:
    // `output` empty: a file of its own.
    Recording(const Mosquitto& broker, std::vector<std::string> args, const std::vector<std::string>& env = {},
              const std::string& output = "")
        : path_(output.empty() ? dir_.file("recording") : output) {
        std::vector<std::string> argv = {recorderBinary(), "--host", "127.0.0.1", "--port", broker.portText(),
                                         "--output", path_};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_TRUE(process_.start(argv, dir_.path(), env, dir_.file("stderr")));
    }
    std::string path() const { return path_; }
    // Where its standard error goes (and standard output, unused with --output).
    std::string errorsPath() const { return dir_.file("stderr"); }
    std::string errors() const { return readFile(errorsPath()); }
    Child& process() { return process_; }
    // The texts of a text-format recording, stamps removed (empty while malformed).
    std::vector<std::string> texts() const { return parseSavedLog(readFile(path())).value_or(std::vector<std::string>{}); }
    std::vector<JsonObject> objects() const {
        int bad = 0;
        auto objects = readJsonl(readFile(path()), &bad);
        EXPECT_EQ(bad, 0);
        return objects;
    }
    // The texts of a jsonl recording, exactly as said.
    std::vector<std::string> jsonTexts() const {
        std::vector<std::string> texts;
        for (const JsonObject& o : objects()) texts.push_back(exactBytes(o, "text"));
        return texts;
    }

private:
    TempDir dir_;
    std::string path_;
    Child process_;
};

// Every case needs the tools; a fatal failure here skips the case's body.
class Recorder : public ::testing::Test {
protected:
    void SetUp() override { requireTools({"mosquitto", "mosquitto_pub", "mosquitto_passwd"}, {recorderBinary()}); }
};

inline void publish(const Mosquitto& broker, const std::string& topic, const std::string& payload) {
    TempDir dir;
    writeFile(dir.file("payload"), payload);
    ASSERT_EQ(runCommand("mosquitto_pub -h 127.0.0.1 -p " + broker.portText() + " -t '" + topic + "' -f " +
                         dir.file("payload")),
              0);
}

}  // namespace vchat::e2e
