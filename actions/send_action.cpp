#include "actions/send_action.h"

#include "mesh/ascii.h"

namespace vchat {
namespace {

bool isAtoiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::optional<std::uint32_t> parseGatewayHex(std::string_view text) {
    if (text.size() != 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        int digit = hexDigitValue(c);
        if (digit < 0) return std::nullopt;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return value;
}

std::optional<std::int64_t> parseToId(std::string_view text, bool broadcast) {
    if (broadcast || text.empty()) return -1;
    std::size_t i = 0;
    while (i < text.size() && isAtoiSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Node numbers are unsigned 32-bit; below the signed 32-bit range the old atoi reading
    // was undefined. Checking at every digit keeps any length of digits from overflowing.
    const std::int64_t limit = negative ? std::int64_t{2147483648} : std::int64_t{4294967295};
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) return std::nullopt;
    }
    return negative ? -value : value;
}

SendPlan planSend(bool connected, const SendForm& form, const ResolveChannel& resolveChannel) {
    SendPlan plan;
    if (!connected) {
        plan.refusal = kNotConnectedText;
        return plan;
    }
    if (form.fromId.empty()) {
        plan.refusal = kFromIdRequiredText;
        return plan;
    }
    std::optional<std::uint32_t> gateway = parseGatewayHex(form.gatewayHex);
    if (!gateway) {
        plan.refusal = kGatewayHexInvalidText;
        return plan;
    }
    // Refused before the FROM_ID adjustment, so a refusal leaves the form as it was.
    std::optional<std::int64_t> toId = parseToId(form.toId, form.broadcast);
    if (!toId) {
        plan.refusal = kToIdOutOfRangeText;
        return plan;
    }

    std::string gw = std::to_string(*gateway);
    if (form.fromId != gw) plan.adjustedFromId = gw;

    plan.message.text = form.message;
    plan.message.fromId = *gateway;   // FROM_ID now reads as exactly this number
    plan.message.toId = *toId;
    plan.message.gatewayHex = form.gatewayHex;
    plan.message.channel = resolveChannel(form.channel);
    plan.message.shortName = form.shortName;
    plan.message.longName = form.longName;
    plan.config.rootTopic = form.rootTopic;
    return plan;
}

void onSend(const std::atomic<bool>& connected, SendForm& form, LogView& log, MqttWorker& worker,
            ResolveChannel resolveChannel) {
    SendPlan plan = planSend(connected.load(), form, resolveChannel);
    if (!plan.refusal.empty()) {
        log.append(plan.refusal);
        return;
    }
    if (!plan.adjustedFromId.empty()) {
        log.append(std::string(kFromIdAdjustedPrefix) + plan.adjustedFromId);
        form.fromId = plan.adjustedFromId;
    }
    worker.queueText(plan.message, plan.config);
    form.message.clear();
}

}  // namespace vchat
