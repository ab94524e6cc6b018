#include "tools/record/record_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "actions/connect_action.h"
#include "actions/connection_defaults.h"
#include "mesh/ascii.h"
#include "mesh/channel_crypto.h"
#include "tools/common/long_options.h"

namespace vchat::record {

namespace {

constexpr const char* kStandardOutput = "-";
constexpr const char* kBlanks = " \t\r\n";
constexpr const char* kConfigOption = "--config";
constexpr const char* kTextExtension = ".txt";
constexpr const char* kJsonlExtension = ".jsonl";
// The remaining-length field carries at most 256 MiB less one byte: 256M takes every message whole.
constexpr std::size_t kLargestMessageSizeOption = std::size_t{256} << 20;

struct HideKind {
    const char* name;
    bool RecordOptions::*flag;
};
constexpr HideKind kHideKinds[] = {
    {"nodeinfo", &RecordOptions::hideNodeinfo},
    {"position", &RecordOptions::hidePosition},
    {"telemetry", &RecordOptions::hideTelemetry},
    {"traceroute", &RecordOptions::hideTraceroute},
};

bool validPort(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= 65535;
}

bool readWholeFile(const std::string& option, const std::string& path, std::string& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    if (in) s << in.rdbuf();
    if (!in || in.bad()) {
        error = option + ": cannot read \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    bytes = s.str();
    return true;
}

std::string trimmed(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(kBlanks);
    const std::size_t end = text.find_last_not_of(kBlanks);
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

// The arguments with every --config FILE replaced by the options the file holds, in its place.
bool expandConfigFiles(const std::vector<std::string>& args, std::vector<std::string>& expanded, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string path;
        if (args[i] == kConfigOption) {
            if (i + 1 == args.size()) {
                error = std::string(kConfigOption) + ": expects a value";
                return false;
            }
            path = args[++i];
        } else if (args[i].rfind(std::string(kConfigOption) + "=", 0) == 0) {
            path = args[i].substr(std::strlen(kConfigOption) + 1);
        } else {
            expanded.push_back(args[i]);
            continue;
        }
        std::string text;
        if (!readWholeFile(kConfigOption, path, text, error)) return false;
        std::istringstream lines(text);
        std::string line;
        for (int number = 1; std::getline(lines, line); ++number) {
            line = trimmed(line);
            if (line.empty() || line[0] == '#') continue;
            const std::size_t equals = line.find('=');
            const std::string name = "--" + trimmed(line.substr(0, equals));
            if (name == kConfigOption || name == "--") {
                error = path + ":" + std::to_string(number) + ": \"" + line + "\" is not an option this file may hold";
                return false;
            }
            expanded.push_back(name);
            if (equals != std::string::npos) expanded.push_back(trimmed(line.substr(equals + 1)));
        }
    }
    return true;
}

}  // namespace

bool parseSize(const std::string& text, std::size_t& bytes) {
    std::size_t digits = 0;
    std::size_t value = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        if (value > (SIZE_MAX - 9) / 10) return false;
        value = value * 10 + static_cast<std::size_t>(text[digits] - '0');
    }
    const std::string unit = text.substr(digits);
    int shift = 0;
    if (unit == "K") shift = 10;
    else if (unit == "M") shift = 20;
    else if (unit == "G") shift = 30;
    else if (!unit.empty()) return false;
    if (digits == 0 || value == 0 || value > (SIZE_MAX >> shift)) return false;
    bytes = value << shift;
    return true;
}

std::string sizeText(std::size_t bytes) {
    static constexpr const char* kUnits[] = {"bytes", "KiB", "MiB", "GiB"};
    std::size_t unit = 0;
    while (unit + 1 < std::size(kUnits) && bytes % 1024 == 0) {
        bytes /= 1024;
        ++unit;
    }
    return std::to_string(bytes) + " " + kUnits[unit];
}

std::string usageText() {
    return "Usage: veldra-record [options]\n"
           "Records what the chat client would show for a broker's mesh traffic, line by line, to a file\n"
           "or standard output, and reconnects by itself. SIGHUP reopens the output file; SIGINT and\n"
           "SIGTERM disconnect and end it.\n"
           "\n"
           "Broker (defaults are the client's):\n"
           "  --host HOST            broker host (default " + std::string(kDefaultBrokerHost) + ")\n"
           "  --port PORT            broker port (default 1883; with --tls 1883 means 8883)\n"
           "  --user NAME            MQTT user name\n"
           "  --password-file FILE   read the password from FILE (one trailing line end is dropped);\n"
           "                         otherwise from $" + kPasswordEnv + ", otherwise the client's\n"
           "  --tls                  connect over TLS\n"
           "  --cafile FILE          verify the broker against this PEM bundle (default cacert.pem;\n"
           "                         an empty FILE means the system's trusted certificates); implies --tls\n"
           "  --insecure             TLS without verifying the broker's certificate; implies --tls\n"
           "  --psk-identity ID      TLS with a pre-shared key: the identity ...\n"
           "  --psk-key-file FILE    ... and a file holding the key in hexadecimal; imply --tls\n"
           "Traffic:\n"
           "  --root TOPIC           root topic (default " + std::string(kDefaultRootTopic) + ")\n"
           "  --channel NAME|INDEX   channel; a preset name without --channel-psk means key Ag==\n"
           "  --channel-psk BASE64   channel key that decrypts envelopes (default: the client's)\n"
           "  --decode-raw           also record encrypted envelopes (decrypted) and other payloads\n"
           "  --hide KIND[,KIND...]  leave out JSON messages of these kinds: nodeinfo, position,\n"
           "                         telemetry, traceroute (may be given more than once)\n"
           "Output:\n"
           "  --output FILE          append to FILE (default: standard output)\n"
           "  --output-stem STEM     append to STEM.txt, or STEM.jsonl with --format jsonl\n"
           "  --format text|jsonl    text: the client's saved-log lines (default); jsonl: one JSON\n"
           "                         object per line\n"
           "  --no-cut               keep whole texts (the client cuts them at 8000 bytes)\n"
           "  --max-waiting SIZE     lines wait in memory while the output cannot take them, up to\n"
           "                         SIZE (K, M, G: KiB, MiB, GiB; default 64M); beyond it the newest\n"
           "                         are dropped, and a status line says how many\n"
           "  --max-message-size SIZE\n"
           "                         a message larger than SIZE (topic and payload together; default\n"
           "                         4M, at most 256M) is read through and dropped; a status line\n"
           "                         names its topic and size\n"
           "  --config FILE          take options from FILE, one a line: NAME = VALUE, or NAME for a\n"
           "                         flag (NAME as above without the dashes; # starts a comment)\n"
           "  --help                 show this text\n"
           "  --version              show the version\n";
}

bool parseOptions(const std::vector<std::string>& args, RecordOptions& options, std::string& error) {
    RecordOptions o;
    std::optional<std::string> outputStem;   // the extension waits for --format, wherever it stands
    const tools::Refusal fail{error};
    const std::map<std::string, tools::ValueOption> withValue = {
        {"--host", tools::nonEmptyValue("--host", "host", o.host, error)},
        {"--port", [&](const std::string& v) {
             return validPort(v) ? (o.port = v, true) : fail("--port: expected 1 to 65535, got \"" + v + "\"");
         }},
        {"--user", [&](const std::string& v) { o.user = v; return true; }},
        {"--password-file", [&](const std::string& v) {
             return v.empty() ? fail("--password-file: empty path") : (o.passwordFile = v, true);
         }},
        {"--root", [&](const std::string& v) { o.rootTopic = v; return true; }},
        {"--channel", [&](const std::string& v) { o.channel = v; return true; }},
        {"--channel-psk", [&](const std::string& v) {
             // Empty is allowed: no key, as an empty form field (a preset name then gets Ag==).
             if (!v.empty() && decodeBase64(v).empty()) return fail("--channel-psk: \"" + v + "\" holds no Base64 data");
             o.channelPsk = v;
             return true;
         }},
        {"--hide", [&](const std::string& v) {
             std::size_t start = 0;
             for (;;) {
                 const std::size_t comma = v.find(',', start);
                 const std::string kind = v.substr(start, comma - start);
                 bool known = false;
                 for (const HideKind& k : kHideKinds) {
                     if (kind == k.name) {
                         o.*k.flag = true;
                         known = true;
                     }
                 }
                 if (!known) {
                     return fail("--hide: unknown kind \"" + kind + "\" (kinds: nodeinfo, position, telemetry, traceroute)");
                 }
                 if (comma == std::string::npos) return true;
                 start = comma + 1;
             }
         }},
        {"--cafile", [&](const std::string& v) { o.caPath = v; o.useTls = true; return true; }},
        {"--psk-identity", tools::nonEmptyValue("--psk-identity", "identity", o.pskIdentity, o.useTls, error)},
        {"--psk-key-file", tools::nonEmptyValue("--psk-key-file", "path", o.pskKeyFile, o.useTls, error)},
        {"--output", [&](const std::string& v) {
             if (v.empty()) return fail("--output: empty path");
             o.output = v == kStandardOutput ? "" : v;
             outputStem.reset();
             return true;
         }},
        {"--output-stem", [&](const std::string& v) {
             if (v.empty()) return fail("--output-stem: empty path");
             outputStem = v;
             return true;
         }},
        {"--max-waiting", [&](const std::string& v) {
             return parseSize(v, o.maxWaiting) ? true : fail("--max-waiting: expected a size such as 64M, got \"" + v + "\"");
         }},
        {"--max-message-size", [&](const std::string& v) {
             std::size_t bytes = 0;
             if (!parseSize(v, bytes) || bytes > kLargestMessageSizeOption) {
                 return fail("--max-message-size: expected a size from 1 to 256M, got \"" + v + "\"");
             }
             o.maxMessageSize = static_cast<std::uint32_t>(std::min<std::size_t>(bytes, kMaxRemainingLength));
             return true;
         }},
        {"--format", [&](const std::string& v) {
             if (v == "text") o.format = OutputFormat::Text;
             else if (v == "jsonl") o.format = OutputFormat::Jsonl;
             else return fail("--format: expected text or jsonl, got \"" + v + "\"");
             return true;
         }},
    };
    const std::map<std::string, tools::FlagOption> flags = {
        {"--decode-raw", [&] { o.decodeRaw = true; }},
        {"--tls", [&] { o.useTls = true; }},
        {"--insecure", [&] { o.insecure = true; o.useTls = true; }},
        {"--no-cut", [&] { o.noCut = true; }},
        {"--help", [&] { o.help = true; }},
        {"-h", [&] { o.help = true; }},
        {"--version", [&] { o.version = true; }},
    };

    std::vector<std::string> expanded;
    if (!expandConfigFiles(args, expanded, error)) return false;
    // Refused by name, before anything else: a password argument would show in the process list
    // (and one in a --config file would not be where only the service can read it).
    for (const std::string& arg : expanded) {
        if (arg == "--password" || arg.rfind("--password=", 0) == 0) {
            return fail("--password: not accepted (it would show in the process list); use --password-file or " +
                        std::string(kPasswordEnv));
        }
    }
    if (!tools::parseLongOptions(expanded, withValue, flags, error)) return false;
    if (outputStem) o.output = *outputStem + (o.format == OutputFormat::Jsonl ? kJsonlExtension : kTextExtension);
    if (!o.help && !o.version && o.pskIdentity.empty() != o.pskKeyFile.empty()) {
        return fail(o.pskIdentity.empty() ? "--psk-key-file: needs --psk-identity" : "--psk-identity: needs --psk-key-file");
    }
    options = o;
    return true;
}

bool buildConfig(const RecordOptions& options, const char* envPassword, const ResolveChannel& resolveChannel,
                 MqttConfig& config, std::optional<std::string>& presetNotice, std::string& error) {
    std::string password(kDefaultPassword);
    if (options.passwordFile) {
        if (!readWholeFile("--password-file", *options.passwordFile, password, error)) return false;
        if (!password.empty() && password.back() == '\n') password.pop_back();
        if (!password.empty() && password.back() == '\r') password.pop_back();
    } else if (envPassword) {
        password = envPassword;
    }

    std::string pskKeyHex;
    if (!options.pskKeyFile.empty()) {
        if (!readWholeFile("--psk-key-file", options.pskKeyFile, pskKeyHex, error)) return false;
        pskKeyHex = trimmed(pskKeyHex);
        bool hex = !pskKeyHex.empty() && pskKeyHex.size() % 2 == 0;
        for (char c : pskKeyHex) hex = hex && hexDigitValue(c) >= 0;
        if (!hex) {
            error = "--psk-key-file: \"" + options.pskKeyFile + "\" holds no hexadecimal key";
            return false;
        }
    }

    // Left out, the key is the form's, unless the channel is a preset name: then the client's rule
    // gives the preset key, as it does for an emptied key field.
    std::string channelPsk = options.channelPsk.value_or(
        resolveChannel.isPresetName(options.channel) ? std::string() : std::string(kDefaultChannelKey));
    presetNotice = applyPresetRule(options.channel, channelPsk, resolveChannel);

    const bool verifyServer = !options.insecure;
    const bool tlsPskMode = !options.pskIdentity.empty();
    const ConnectForm form{options.host,       options.port,          options.user,         password,
                           options.rootTopic,  options.channel,       channelPsk,           options.caPath,
                           options.pskIdentity, pskKeyHex,            options.decodeRaw,    options.hideNodeinfo,
                           options.hidePosition, options.hideTelemetry, options.hideTraceroute, options.useTls,
                           verifyServer,       tlsPskMode};
    config = vchat::buildConfig(form);
    return true;
}

}  // namespace vchat::record
