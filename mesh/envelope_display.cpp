#include "mesh/envelope_display.h"

#include "mesh/ascii.h"
#include "mesh/channel_crypto.h"

namespace vchat {

namespace {

constexpr std::string_view kEllipsis = "...";

bool isPrintable(unsigned char b) { return b >= 0x20 && b <= 0x7E; }

}  // namespace

std::string hexPreview(std::string_view bytes, std::size_t limit) {
    const std::size_t shown = bytes.size() < limit ? bytes.size() : limit;
    std::string out;
    out.reserve(shown * 2 + kEllipsis.size());
    for (std::size_t i = 0; i < shown; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out.push_back(kLowerHexDigits[b >> 4]);
        out.push_back(kLowerHexDigits[b & 0x0F]);
    }
    if (bytes.size() > limit) out.append(kEllipsis);
    return out;
}

std::string extractText(std::string_view plaintext) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < plaintext.size(); ++i) {
        run = isPrintable(static_cast<unsigned char>(plaintext[i])) ? run + 1 : 0;
        if (run == kMinTextRun) return std::string(plaintext.substr(i + 1 - kMinTextRun));
    }
    return std::string(plaintext);
}

// Each text sits beside the one function that writes it (constexpr: internal to this file).
constexpr std::string_view kRawLinePrefix = "RAW ";
constexpr std::string_view kRawHexSeparator = "\nHEX: ";

std::string rawDumpLine(std::string_view topic, std::string_view payload) {
    std::string line;
    line.reserve(kRawLinePrefix.size() + topic.size() + kRawHexSeparator.size() + 2 * kRawHexLimit +
                 kEllipsis.size());
    line.append(kRawLinePrefix).append(topic).append(kRawHexSeparator);
    line.append(hexPreview(payload, kRawHexLimit));
    return line;
}

constexpr std::string_view kNoPskMarker = " no-psk ct=";
constexpr std::string_view kDecryptFailedMarker = " decrypt-failed ct=";

std::string packetLine(std::string_view label, const MeshPacket& packet, DecryptOutcome outcome,
                       std::string_view plaintext) {
    std::string line;
    line.reserve(label.size() + 32 + 2 * kCiphertextHexLimit + plaintext.size());
    line.append("[").append(label).append("] (");
    line.append(std::to_string(packet.first)).append("/").append(std::to_string(packet.second));
    line.append(")");
    switch (outcome) {
        case DecryptOutcome::NoKey:
            line.append(kNoPskMarker).append(hexPreview(packet.ciphertext, kCiphertextHexLimit));
            break;
        case DecryptOutcome::Failed:
            line.append(kDecryptFailedMarker).append(hexPreview(packet.ciphertext, kCiphertextHexLimit));
            break;
        case DecryptOutcome::Decrypted:
            line.append(" ").append(extractText(plaintext));
            break;
    }
    return line;
}

constexpr std::string_view kPacketParseFailedPrefix = "RAW envelope ok, MeshPacket parse failed (";
constexpr std::string_view kPacketParseFailedSuffix = " bytes)";

std::string envelopeLine(std::string_view topic, std::string_view payload, const MqttConfig& settings) {
    Envelope envelope;
    if (!scanEnvelope(payload, envelope)) return rawDumpLine(topic, payload);

    MeshPacket packet;
    if (!scanMeshPacket(envelope.packet, packet)) {
        std::string line(kPacketParseFailedPrefix);
        line.append(std::to_string(envelope.packet.size())).append(kPacketParseFailedSuffix);
        return line;
    }
    if (settings.channelKey.empty()) {
        return packetLine(envelope.label, packet, DecryptOutcome::NoKey, {});
    }
    // No key is kept between envelopes: the settings may be those of another run next time.
    const std::string key = deriveChannelKey(settings.channelKey);
    const CtrBlock counter = makeCtrNonce(packet.first, packet.second);
    std::string plaintext;
    if (!decryptChannelPayload(key, counter, packet.ciphertext, plaintext)) {
        return packetLine(envelope.label, packet, DecryptOutcome::Failed, {});
    }
    return packetLine(envelope.label, packet, DecryptOutcome::Decrypted, plaintext);
}

}  // namespace vchat
