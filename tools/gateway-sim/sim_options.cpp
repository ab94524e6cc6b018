#include "tools/gateway-sim/sim_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>

#include "mesh/ascii.h"
#include "mesh/channel_crypto.h"
#include "tools/common/long_options.h"

namespace vchat::sim {

namespace {

constexpr int kMaxWeight = 1000;
constexpr int kMaxGateways = 64;
constexpr double kMaxRate = 1e6;

bool parseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > max) return false;
    value = v;
    return true;
}

bool parseNonNegative(const std::string& text, double max, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0 || v > max) return false;
    value = v;
    return true;
}

bool isHexText(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0) return false;
    for (char c : text) {
        if (hexDigitValue(c) < 0) return false;
    }
    return true;
}

bool parseMix(const std::string& option, const std::string& text, std::array<int, kKindCount>& weights,
              std::string& error) {
    std::array<int, kKindCount> parsed{};
    std::size_t start = 0;
    int total = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(start, comma - start);
        const std::size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        std::size_t kind = kKindCount;
        for (std::size_t k = 0; k < kKindCount; ++k) {
            if (kKindNames[k] == name) kind = k;
        }
        if (kind == kKindCount) {
            error = option + ": unknown kind \"" + name +
                    "\" (kinds: text, nodeinfo, position, telemetry, traceroute)";
            return false;
        }
        std::uint64_t weight = 1;
        if (eq != std::string::npos && !parseUnsigned(item.substr(eq + 1), kMaxWeight, weight)) {
            error = option + ": the weight of " + name + " must be a whole number from 0 to 1000";
            return false;
        }
        parsed[kind] = static_cast<int>(weight);
        total += static_cast<int>(weight);
        start = comma + 1;
    }
    if (total == 0) {
        error = option + ": at least one kind needs a weight above 0";
        return false;
    }
    weights = parsed;
    return true;
}

bool validTopicLevel(const std::string& text) {
    return !text.empty() && text.find_first_of("/+#") == std::string::npos;
}

}  // namespace

std::string usageText(const std::string& program) {
    return "Usage: " + program + " [options]\n"
           "Publishes the traffic of simulated mesh gateways to an MQTT broker: JSON messages on\n"
           "<root>/2/json/<channel>/!<gateway> and AES-CTR encrypted protobuf envelopes on\n"
           "<root>/2/e/<channel>/!<gateway>. Prints every message a client sends to\n"
           "<root>/2/json/mqtt/# on standard output, one line each.\n"
           "\n"
           "Broker:\n"
           "  --host HOST            broker host (default 127.0.0.1)\n"
           "  --port PORT            broker port (default 1883, with TLS 8883)\n"
           "  --user NAME            MQTT user name (default none)\n"
           "  --password TEXT        MQTT password (needs --user)\n"
           "  --tls                  connect over TLS, verifying against the system trust store\n"
           "  --cafile FILE          TLS, verifying the broker against this PEM bundle\n"
           "  --insecure             TLS without verifying the broker's certificate\n"
           "  --psk-identity ID      TLS with a pre-shared key: the identity ...\n"
           "  --psk-key HEX          ... and the key as hexadecimal digits\n"
           "Traffic:\n"
           "  --root TOPIC           root topic (default msh/EU_868)\n"
           "  --channel NAME         channel name in the topics and envelopes (default LongFast)\n"
           "  --key BASE64           channel key (default: the client's default key;\n"
           "                         Ag== is the key of the preset channels)\n"
           "  --rate N               messages per second (default 2; 0: as fast as possible)\n"
           "  --count N              stop sending after N messages (default 0: never)\n"
           "  --mix KIND=W,...       relative shares of text, nodeinfo, position, telemetry,\n"
           "                         traceroute; kinds left out are not sent\n"
           "                         (default text=4,nodeinfo=1,position=1,telemetry=1,traceroute=1)\n"
           "  --envelope-mix KIND=W,...  the same for envelopes (default: as --mix)\n"
           "  --envelopes PERCENT    share sent as encrypted envelopes instead of JSON (default 50)\n"
           "  --gateways N           number of simulated gateways, 1 to 64 (default 2)\n"
           "  --seed N               seed of the traffic (default: from the clock)\n"
           "Running:\n"
           "  --linger SECONDS       after the last message, stay connected this long\n"
           "                         (default: until interrupted)\n"
           "  --print-sent FILE      write one line per sent message to FILE (- for standard\n"
           "                         output): json<TAB>seq<TAB>kind<TAB>topic<TAB>payload, or\n"
           "                         env<TAB>seq<TAB>kind<TAB>topic<TAB>label<TAB>first<TAB>second\n"
           "                         <TAB>plaintext-hex<TAB>payload-hex\n"
           "  --verbose              report every sent message on standard error\n"
           "  --help                 show this text\n";
}

bool parseOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error) {
    SimOptions o;
    o.traffic.rootTopic = kDefaultRootTopic;
    o.traffic.seed = static_cast<std::uint32_t>(std::time(nullptr));
    bool envelopeMixGiven = false;

    const tools::Refusal fail{error};
    const std::map<std::string, tools::ValueOption> withValue = {
        {"--host", tools::nonEmptyValue("--host", "host", o.host, error)},
        {"--port", [&](const std::string& v) {
             std::uint64_t port = 0;
             if (!parseUnsigned(v, 65535, port) || port == 0) return fail("--port: expected 1 to 65535, got \"" + v + "\"");
             o.port = v;
             return true;
         }},
        {"--user", [&](const std::string& v) { o.user = v; return true; }},
        {"--password", [&](const std::string& v) { o.password = v; return true; }},
        {"--cafile", tools::nonEmptyValue("--cafile", "path", o.caFile, o.tls, error)},
        {"--psk-identity", tools::nonEmptyValue("--psk-identity", "identity", o.pskIdentity, o.tls, error)},
        {"--psk-key", [&](const std::string& v) {
             if (!isHexText(v)) return fail("--psk-key: expected an even number of hexadecimal digits");
             o.pskKeyHex = v;
             o.tls = true;
             return true;
         }},
        {"--root", [&](const std::string& v) {
             if (v.find_first_of("+#") != std::string::npos) return fail("--root: no + or # in a topic");
             o.traffic.rootTopic = v;
             return true;
         }},
        {"--channel", [&](const std::string& v) {
             if (!validTopicLevel(v)) return fail("--channel: one topic level, without /, + or #");
             o.traffic.channel = v;
             return true;
         }},
        {"--key", [&](const std::string& v) { o.channelKeyBase64 = v; return true; }},
        {"--rate", [&](const std::string& v) {
             return parseNonNegative(v, kMaxRate, o.rate) ? true : fail("--rate: expected a number from 0 to 1000000, got \"" + v + "\"");
         }},
        {"--count", [&](const std::string& v) {
             return parseUnsigned(v, UINT64_MAX, o.count) ? true : fail("--count: expected a whole number, got \"" + v + "\"");
         }},
        {"--mix", [&](const std::string& v) {
             if (!parseMix("--mix", v, o.traffic.weights, error)) return false;
             if (!envelopeMixGiven) o.traffic.envelopeWeights = o.traffic.weights;
             return true;
         }},
        {"--envelope-mix", [&](const std::string& v) {
             envelopeMixGiven = true;
             return parseMix("--envelope-mix", v, o.traffic.envelopeWeights, error);
         }},
        {"--envelopes", [&](const std::string& v) {
             std::uint64_t percent = 0;
             if (!parseUnsigned(v, 100, percent)) return fail("--envelopes: expected 0 to 100, got \"" + v + "\"");
             o.traffic.envelopePercent = static_cast<int>(percent);
             return true;
         }},
        {"--gateways", [&](const std::string& v) {
             std::uint64_t n = 0;
             if (!parseUnsigned(v, kMaxGateways, n) || n == 0) return fail("--gateways: expected 1 to 64, got \"" + v + "\"");
             o.traffic.gatewayCount = static_cast<int>(n);
             return true;
         }},
        {"--seed", [&](const std::string& v) {
             std::uint64_t seed = 0;
             if (!parseUnsigned(v, UINT32_MAX, seed)) return fail("--seed: expected a whole number below 2^32, got \"" + v + "\"");
             o.traffic.seed = static_cast<std::uint32_t>(seed);
             return true;
         }},
        {"--linger", [&](const std::string& v) {
             return parseNonNegative(v, 1e9, o.lingerSec) ? true : fail("--linger: expected seconds, got \"" + v + "\"");
         }},
        {"--print-sent", [&](const std::string& v) {
             if (v.empty()) return fail("--print-sent: empty path");
             o.printSent = v;
             return true;
         }},
    };
    const std::map<std::string, tools::FlagOption> flags = {
        {"--tls", [&] { o.tls = true; }},
        {"--insecure", [&] { o.insecure = true; o.tls = true; }},
        {"--verbose", [&] { o.verbose = true; }},
        {"--help", [&] { o.help = true; }},
        {"-h", [&] { o.help = true; }},
    };

    if (!tools::parseLongOptions(args, withValue, flags, error)) return false;
    if (o.help) {
        options = o;
        return true;
    }

    if (!o.password.empty() && o.user.empty()) return fail("--password needs --user");
    const bool psk = !o.pskIdentity.empty() || !o.pskKeyHex.empty();
    if (psk && (o.pskIdentity.empty() || o.pskKeyHex.empty())) {
        return fail("TLS-PSK needs both --psk-identity and --psk-key");
    }
    if (psk && (!o.caFile.empty() || o.insecure)) {
        return fail("--psk-identity/--psk-key cannot be combined with --cafile or --insecure");
    }
    if (!o.caFile.empty() && o.insecure) return fail("--cafile and --insecure contradict each other");
    if (o.port.empty()) o.port = o.tls ? "8883" : "1883";

    o.traffic.channelKey = decodeBase64(o.channelKeyBase64);
    if (o.traffic.channelKey.empty()) return fail("--key: \"" + o.channelKeyBase64 + "\" holds no Base64 data");
    options = o;
    return true;
}

}  // namespace vchat::sim
