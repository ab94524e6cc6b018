// Received-message decoding: handlePublish into a LogView, one message per iteration, for the three
// kinds of traffic the worker sees most. items_per_second is messages per second on one core.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "log/log_view.h"
#include "mesh/receive.h"

namespace {

constexpr std::size_t kEnvelopeBytes = 120;
const std::string kJsonTopic = "msh/EU/2/json/LongFast/!433d7d0c";
const std::string kEnvelopeTopic = "msh/EU/2/e/LongFast/!433d7d0c";

std::string varint(std::uint64_t v) {
    std::string out;
    for (; v >= 0x80; v >>= 7) out.push_back(static_cast<char>((v & 0x7F) | 0x80));
    out.push_back(static_cast<char>(v));
    return out;
}

std::string lengthDelimited(int field, const std::string& body) {
    return varint(static_cast<std::uint64_t>(field) << 3 | 2) + varint(body.size()) + body;
}

// A 300-byte text message as a gateway publishes it, with all four Hide settings on (each rule runs
// and none hides it).
std::string jsonPayload() {
    const std::string head =
        R"({"channel":0,"from":1128103180,"hop_start":3,"hops_away":0,"id":1936410923,)"
        R"("payload":{"text":")";
    const std::string tail =
        R"("},"rssi":-71,"sender":"!433d7d0c","snr":9.25,"timestamp":1718000000,"to":4294967295,)"
        R"("type":"text"})";
    std::string text =
        "Good evening from the hill top, signal is strong today and the repeater on the ridge is "
        "relaying everything we send. Anyone copy on the north side? Over and out for now.";
    text.resize(300 - head.size() - tail.size(), '!');
    return head + text + tail;
}

// A 120-byte envelope whose ciphertext is a text payload encrypted under `aesKey` with the counter
// block the decoder builds from the two packet numbers.
std::string encryptedEnvelope(const std::string& aesKey) {
    const std::uint32_t first = 1128103180;
    const std::uint32_t second = 2882400018;
    const std::string label = lengthDelimited(2, "LongFast") + lengthDelimited(3, "!433d7d0c");
    const std::string numbers = varint(1 << 3) + varint(first) + varint(2 << 3) + varint(second);
    // Envelope = label fields + packet field (tag, length) + numbers + ciphertext field (tag, length).
    const std::size_t overhead = label.size() + 2 + numbers.size() + 2;
    const std::size_t ciphertextBytes = kEnvelopeBytes - overhead;
    std::string plaintext = "\x08\x01\x12" + std::string(1, static_cast<char>(ciphertextBytes - 4));
    plaintext += "Evening all, relaying from the ridge top, signal strong here tonight.";
    plaintext.resize(ciphertextBytes, '.');

    unsigned char counter[16] = {};
    for (int i = 0; i < 4; ++i) {
        counter[i] = static_cast<unsigned char>(first >> (24 - 8 * i));
        counter[4 + i] = static_cast<unsigned char>(second >> (24 - 8 * i));
    }
    std::string ciphertext(plaintext.size(), '\0');
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int length = 0;
    const bool ok =
        EVP_EncryptInit_ex2(ctx, aesKey.size() == 32 ? EVP_aes_256_ctr() : EVP_aes_128_ctr(),
                            reinterpret_cast<const unsigned char*>(aesKey.data()), counter, nullptr) == 1 &&
        EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(ciphertext.data()), &length,
                          reinterpret_cast<const unsigned char*>(plaintext.data()),
                          static_cast<int>(plaintext.size())) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) std::abort();

    const std::string packet = numbers + lengthDelimited(4, ciphertext);
    const std::string envelope = label + lengthDelimited(1, packet);
    if (envelope.size() != kEnvelopeBytes) std::abort();
    return envelope;
}

std::string firstHalfOfSha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), 16);
}

// Runs handlePublish and checks once that the message decoded to readable text, so a benchmark of a
// path that quietly fails (and is therefore cheap) cannot pass for a result.
void runPublish(benchmark::State& state, const std::string& topic, const std::string& payload,
                const vchat::MqttConfig& settings, const std::string& expectedPart) {
    vchat::LogView log;
    vchat::handlePublish(topic, payload, settings, log);
    if (log.lines.size() != 1 || log.lines.back().text.find(expectedPart) == std::string::npos) {
        state.SkipWithError("message did not decode to the expected line");
        return;
    }
    for (auto _ : state) {
        vchat::handlePublish(topic, payload, settings, log);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(payload.size()));
}

void BM_Json300(benchmark::State& state) {
    vchat::MqttConfig settings;
    settings.decodeRaw = true;
    settings.hideNodeinfo = settings.hidePosition = settings.hideTelemetry = settings.hideTraceroute = true;
    const std::string payload = jsonPayload();
    if (payload.size() != 300) std::abort();
    runPublish(state, kJsonTopic, payload, settings, "Good evening");
}

std::string key32() {
    std::string key;
    for (int i = 0; i < 32; ++i) key.push_back(static_cast<char>(0xA0 + i));
    return key;
}

void BM_Envelope120Key32(benchmark::State& state) {
    vchat::MqttConfig settings;
    settings.decodeRaw = true;
    settings.channelKey = key32();
    runPublish(state, kEnvelopeTopic, encryptedEnvelope(key32()), settings, "Evening all");
}

void BM_Envelope120PresetKey(benchmark::State& state) {
    vchat::MqttConfig settings;
    settings.decodeRaw = true;
    settings.channelKey = std::string(1, '\x02');   // the preset channels' "Ag=="
    runPublish(state, kEnvelopeTopic, encryptedEnvelope(firstHalfOfSha256(settings.channelKey)), settings,
               "Evening all");
}

}  // namespace

BENCHMARK(BM_Json300);
BENCHMARK(BM_Envelope120Key32);
BENCHMARK(BM_Envelope120PresetKey);

BENCHMARK_MAIN();
