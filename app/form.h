// The settings form: 16 text fields, 9 check boxes and 5 buttons at fixed places on four panels.
//
// Sections: identifiers; the form record; the layout tables; construction.
//
// The layout is data: every widget appears once in the tables below with its caption, default,
// rectangle and state, and the frame's drawing order is a table too. The settings panel has three
// columns (x 20, 330, 640) with field rows 60 pixels apart from y 46, which leaves 18 pixels above each
// field for its caption; the destination panel's column is at x 950; the log panel holds the Hide boxes,
// the log area and the bottom row. Nothing here fails.
#pragma once

#include <SDL.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "actions/connection_defaults.h"
#include "app/widgets.h"

namespace vchat {

// ---- Identifiers -----------------------------------------------------------------------------------

// Text fields, in focus order (Tab and click focusing walk them in this order). The focus order is
// not the screen order: Channel PSK follows Long Name and the message line comes before the third
// column.
enum FieldId : std::size_t {
    kBrokerHost,
    kPort,
    kUsername,
    kPassword,
    kRootTopic,
    kFromId,
    kGatewayHex,
    kChannel,
    kShortName,
    kLongName,
    kChannelPsk,
    kMessageLine,
    kCaPath,
    kPskIdentity,
    kPskKey,
    kToId,
    kFieldCount
};

// Check boxes, in the order a click tests them.
enum BoxId : std::size_t {
    kDecodeRaw,
    kHideNodeinfo,
    kHidePosition,
    kHideTelemetry,
    kHideTraceroute,
    kUseTls,
    kVerifyServer,
    kTlsPskMode,
    kBroadcast,
    kBoxCount
};

enum ButtonId : std::size_t { kConnect, kDisconnect, kSaveLog, kClearLog, kSend, kButtonCount };

// ---- The form ----------------------------------------------------------------------------------------

struct Form {
    std::array<TextField, kFieldCount> fields;
    std::array<Checkbox, kBoxCount> boxes;
    std::array<Button, kButtonCount> buttons;
};

// ---- Layout tables -----------------------------------------------------------------------------------

inline constexpr int kWindowWidth = 1440;
inline constexpr int kWindowHeight = 700;
inline constexpr int kLabelOffset = 18;   // a field's caption stands this far above its top edge

struct FieldRow {
    std::string_view caption;
    std::string_view text;   // FROM_ID and GATEWAY_HEX are computed from the node number instead
    SDL_Rect rect;
    bool masked;
};

// Indexed by FieldId.
inline constexpr std::array<FieldRow, kFieldCount> kFieldTable{{
    {"Broker Host", kDefaultBrokerHost, {20, 46, 280, 32}, false},
    {"Port", kDefaultPort, {20, 106, 280, 32}, false},
    {"Username", kDefaultUser, {20, 166, 280, 32}, false},
    {"Password", kDefaultPassword, {20, 226, 280, 32}, true},
    {"Root Topic", kDefaultRootTopic, {20, 286, 280, 32}, false},
    {"FROM_ID", "", {330, 46, 280, 32}, false},
    {"GATEWAY_HEX (8 HEX)", "", {330, 106, 280, 32}, false},
    {"Channel (Name or Index)", kDefaultChannel, {330, 166, 280, 32}, false},
    {"Short Name", "zk52", {330, 286, 280, 32}, false},
    {"Long Name", "MeshZK-52", {330, 346, 280, 32}, false},
    {"Channel PSK (Base64)", kDefaultChannelKey, {330, 226, 280, 32}, false},
    {"", "", {280, 645, 980, 32}, false},
    {"CA bundle (PEM) path", kDefaultCaPath, {640, 166, 280, 32}, false},
    {"TLS PSK Identity", "", {640, 226, 280, 32}, false},
    {"TLS PSK Key (HEX)", "", {640, 286, 280, 32}, false},
    {"To ID (Decimal or Empty)", "", {950, 231, 280, 32}, false},
}};

struct BoxRow {
    std::string_view caption;
    int x;
    int y;
    bool ticked;
};

// Indexed by BoxId.
inline constexpr std::array<BoxRow, kBoxCount> kBoxTable{{
    {"Decode RAW", 640, 351, false},
    {"Hide Nodeinfo", 20, 410, false},
    {"Hide Position", 230, 410, false},
    {"Hide Telemetry", 440, 410, false},
    {"Hide Traceroute", 650, 410, false},
    {"Use TLS (Port: 8883)", 640, 51, false},
    {"Verify Server", 640, 81, kDefaultVerifyServer},
    {"TLS-PSK mode", 640, 111, false},
    {"Broadcast (0xFFFFFFFF)", 950, 291, false},
}};

struct ButtonRow {
    std::string_view caption;
    SDL_Rect rect;
    bool disabled;
};

// Indexed by ButtonId. Only Connect and Disconnect ever change their disabled state.
inline constexpr std::array<ButtonRow, kButtonCount> kButtonTable{{
    {"Connect", {20, 341, 120, 36}, false},
    {"Disconnect", {180, 341, 120, 36}, true},
    {"Save Log", {20, 645, 120, 32}, false},
    {"Clear Log", {150, 645, 120, 32}, false},
    {"Send", {1270, 645, 150, 32}, false},
}};

// Drawn in this order, each filled with the panel colour and outlined one pixel wide.
inline constexpr std::array<SDL_Rect, 4> kPanels{{
    {10, 7, 920, 390},     // settings
    {940, 7, 490, 190},    // notice
    {940, 207, 490, 190},  // destination
    {10, 405, 1420, 285},  // log
}};

inline constexpr SDL_Rect kNoticeRect{952, 7, 466, 190};
inline constexpr std::string_view kNoticeText =
    "Warning: Only for use by Radio amateurs and laboratory tests, use it at your own RISK!\n\n\n"
    "This software is used to read and write text messages in the mesh network.";

inline constexpr SDL_Rect kLogRect{20, 435, 1400, 200};

// The form's drawing order. The two TLS-PSK fields are drawn (with their captions) only while both
// Use TLS and TLS-PSK mode are ticked; a field's caption is drawn just before it.
enum class DrawKind { field, pskField, box, button };
struct DrawItem {
    DrawKind kind;
    std::size_t index;
};
inline constexpr DrawItem kDrawOrder[] = {
    {DrawKind::field, kBrokerHost},   {DrawKind::field, kPort},
    {DrawKind::field, kUsername},     {DrawKind::field, kPassword},
    {DrawKind::field, kRootTopic},    {DrawKind::button, kConnect},
    {DrawKind::button, kDisconnect},  {DrawKind::field, kFromId},
    {DrawKind::field, kGatewayHex},   {DrawKind::field, kChannel},
    {DrawKind::field, kShortName},    {DrawKind::field, kLongName},
    {DrawKind::box, kDecodeRaw},      {DrawKind::field, kChannelPsk},
    {DrawKind::box, kHideNodeinfo},   {DrawKind::box, kHidePosition},
    {DrawKind::box, kHideTelemetry},  {DrawKind::box, kHideTraceroute},
    {DrawKind::field, kToId},         {DrawKind::box, kBroadcast},
    {DrawKind::box, kUseTls},         {DrawKind::box, kVerifyServer},
    {DrawKind::field, kCaPath},       {DrawKind::box, kTlsPskMode},
    {DrawKind::pskField, kPskIdentity}, {DrawKind::pskField, kPskKey},
    {DrawKind::button, kSaveLog},     {DrawKind::button, kClearLog},
    {DrawKind::field, kMessageLine},  {DrawKind::button, kSend},
};

// Every control in screen order, for moving the keyboard focus with F6 and Shift+F6: down the
// settings panel's three columns, then the destination column, the Hide boxes and the bottom row.
enum class ControlKind { field, box, button };
struct ControlRef {
    ControlKind kind;
    std::size_t index;
};
inline constexpr bool operator==(const ControlRef& a, const ControlRef& b) {
    return a.kind == b.kind && a.index == b.index;
}
inline constexpr bool operator!=(const ControlRef& a, const ControlRef& b) { return !(a == b); }
inline constexpr ControlRef kScreenOrder[] = {
    {ControlKind::field, kBrokerHost},    {ControlKind::field, kPort},          {ControlKind::field, kUsername},
    {ControlKind::field, kPassword},      {ControlKind::field, kRootTopic},     {ControlKind::button, kConnect},
    {ControlKind::button, kDisconnect},   {ControlKind::field, kFromId},        {ControlKind::field, kGatewayHex},
    {ControlKind::field, kChannel},       {ControlKind::field, kChannelPsk},    {ControlKind::field, kShortName},
    {ControlKind::field, kLongName},      {ControlKind::box, kUseTls},          {ControlKind::box, kVerifyServer},
    {ControlKind::box, kTlsPskMode},      {ControlKind::field, kCaPath},        {ControlKind::field, kPskIdentity},
    {ControlKind::field, kPskKey},        {ControlKind::box, kDecodeRaw},       {ControlKind::field, kToId},
    {ControlKind::box, kBroadcast},       {ControlKind::box, kHideNodeinfo},    {ControlKind::box, kHidePosition},
    {ControlKind::box, kHideTelemetry},   {ControlKind::box, kHideTraceroute},  {ControlKind::button, kSaveLog},
    {ControlKind::button, kClearLog},     {ControlKind::field, kMessageLine},   {ControlKind::button, kSend},
};
static_assert(std::size(kScreenOrder) == kFieldCount + kBoxCount + kButtonCount, "every control once");

// ---- Construction ------------------------------------------------------------------------------------

// FROM_ID: the node number in decimal. GATEWAY_HEX: the same number in lower-case hexadecimal,
// zero-filled to 8 digits.
std::string fromIdDefault(std::uint32_t nodeNumber);
std::string gatewayHexDefault(std::uint32_t nodeNumber);

// Every widget with its caption, default, rectangle, masking and state; no field focused.
Form buildForm(std::uint32_t nodeNumber);

// The TLS-PSK fields are shown only while both Use TLS and TLS-PSK mode are ticked. Hidden, they
// keep their text and still take clicks and Tab focus (but not F6's).
bool pskFieldsVisible(const Form& form);
// Whether the control is drawn now: all but the hidden TLS-PSK fields.
bool controlShown(const Form& form, const ControlRef& control);

}  // namespace vchat
