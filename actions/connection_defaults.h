// The connection settings a fresh client starts with: the settings form shows them and the recorder
// takes them when an option is left out, so both talk to the same broker out of the box.
#pragma once

#include <string_view>

namespace vchat {

inline constexpr std::string_view kDefaultBrokerHost = "mqtt.veldra.org";
inline constexpr std::string_view kDefaultPort = "1883";
inline constexpr std::string_view kDefaultUser = "meshvarnholt";
inline constexpr std::string_view kDefaultPassword = "qorvikmale";
inline constexpr std::string_view kDefaultRootTopic = "msh/EU_868";
inline constexpr std::string_view kDefaultChannel = "Mesh Varnholt";
// The form's channel key (the preset channels' key is kDefaultChannelPsk in connect_action.h).
inline constexpr std::string_view kDefaultChannelKey = "tQ7nW2xLp9RkVd4sHc8ZyA1mFe6uJb3oGi5rTx0vNqE=";
inline constexpr std::string_view kDefaultCaPath = "cacert.pem";
inline constexpr bool kDefaultVerifyServer = true;

}  // namespace vchat
