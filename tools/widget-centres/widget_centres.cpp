#include "tools/widget-centres/widget_centres.h"

#include <iterator>
#include <utility>

#include "app/form.h"
#include "app/widgets.h"

namespace vchat {

namespace {

// The names the scripts use. Each widget is named beside its id, so the tables of form.h may be
// reordered freely.
constexpr std::pair<FieldId, std::string_view> kFieldNames[] = {
    {kBrokerHost, "broker-host"}, {kPort, "port"},           {kUsername, "username"},
    {kPassword, "password"},      {kRootTopic, "root-topic"}, {kFromId, "from-id"},
    {kGatewayHex, "gateway-hex"}, {kChannel, "channel"},      {kShortName, "short-name"},
    {kLongName, "long-name"},     {kChannelPsk, "channel-psk"}, {kMessageLine, "message-line"},
    {kCaPath, "ca-path"},         {kPskIdentity, "psk-identity"}, {kPskKey, "psk-key"},
    {kToId, "to-id"},
};
constexpr std::pair<BoxId, std::string_view> kBoxNames[] = {
    {kDecodeRaw, "decode-raw"},       {kHideNodeinfo, "hide-nodeinfo"},   {kHidePosition, "hide-position"},
    {kHideTelemetry, "hide-telemetry"}, {kHideTraceroute, "hide-traceroute"}, {kUseTls, "use-tls"},
    {kVerifyServer, "verify-server"}, {kTlsPskMode, "tls-psk-mode"},     {kBroadcast, "broadcast"},
};
constexpr std::pair<ButtonId, std::string_view> kButtonNames[] = {
    {kConnect, "connect"}, {kDisconnect, "disconnect"}, {kSaveLog, "save-log"},
    {kClearLog, "clear-log"}, {kSend, "send"},
};
static_assert(std::size(kFieldNames) == kFieldCount && std::size(kBoxNames) == kBoxCount &&
              std::size(kButtonNames) == kButtonCount, "every widget has a name");

WidgetCentre centreOf(std::string_view name, const SDL_Rect& r) { return {name, r.x + r.w / 2, r.y + r.h / 2}; }

}  // namespace

std::vector<WidgetCentre> widgetCentres() {
    std::vector<WidgetCentre> centres;
    for (const auto& [id, name] : kFieldNames) centres.push_back(centreOf(name, kFieldTable[id].rect));
    for (const auto& [id, name] : kBoxNames)
        centres.push_back(centreOf(name, SDL_Rect{kBoxTable[id].x, kBoxTable[id].y, kBoxSize, kBoxSize}));
    for (const auto& [id, name] : kButtonNames) centres.push_back(centreOf(name, kButtonTable[id].rect));
    return centres;
}

}  // namespace vchat
