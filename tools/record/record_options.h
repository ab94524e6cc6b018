// Command-line options of the recorder and the worker settings they give.
//
// Error convention: both functions return bool; on false `error` holds one line for the user that
// names the option at fault. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "actions/channels.h"
#include "actions/connection_defaults.h"
#include "mesh/mqtt_config.h"
#include "mqtt/packet_codec.h"

namespace vchat::record {

enum class OutputFormat { Text, Jsonl };

// How much of the output's lines may wait in memory while the output cannot take them.
inline constexpr std::size_t kDefaultMaxWaiting = std::size_t{64} << 20;

// The environment variable the password may come from (an argument would show in the process list).
inline constexpr const char* kPasswordEnv = "VELDRA_PASSWORD";

struct RecordOptions {
    // An option left out keeps the form's default.
    std::string host{kDefaultBrokerHost};
    std::string port{kDefaultPort};
    std::string user{kDefaultUser};
    std::optional<std::string> passwordFile;
    std::string rootTopic{kDefaultRootTopic};
    std::string channel{kDefaultChannel};
    std::optional<std::string> channelPsk;   // nothing: the form's key, or the preset rule's
    bool decodeRaw = false;
    bool hideNodeinfo = false;
    bool hidePosition = false;
    bool hideTelemetry = false;
    bool hideTraceroute = false;
    bool useTls = false;
    std::string caPath{kDefaultCaPath};
    bool insecure = false;
    std::string pskIdentity;
    std::string pskKeyFile;
    std::string output;                      // empty: standard output
    OutputFormat format = OutputFormat::Text;
    bool noCut = false;
    std::size_t maxWaiting = kDefaultMaxWaiting;
    std::uint32_t maxMessageSize = kMaxMessageSize;   // the worker's limit on a received message
    bool help = false;
    bool version = false;
};

// Every option left out takes the client's default. Accepts "--name value" and "--name=value".
bool parseOptions(const std::vector<std::string>& args, RecordOptions& options, std::string& error);

// The worker's settings: the password from the file (one trailing line end dropped), else from
// `envPassword` when not null, else the form's; the TLS-PSK key from its file (hexadecimal, blanks
// around it dropped); the client's preset rule and port rule. `presetNotice` gets the client's
// notice line when the preset rule gave the key.
bool buildConfig(const RecordOptions& options, const char* envPassword, const ResolveChannel& resolveChannel,
                 MqttConfig& config, std::optional<std::string>& presetNotice, std::string& error);

// A size as options give it: digits with an optional K, M or G (powers of 1024). False when it is
// not one, is 0 or does not fit.
bool parseSize(const std::string& text, std::size_t& bytes);
// "64 MiB", "512 KiB" or "1000 bytes": the largest unit that divides it.
std::string sizeText(std::size_t bytes);

// The text --help prints.
std::string usageText();

}  // namespace vchat::record
