// The connection settings a fresh client starts with: the settings form shows them and the recorder
// takes them when an option is left out, so both talk to the same broker out of the box. Beside
// them, the two values Connect's rules put in: the TLS port and the preset channels' key.
#pragma once

#include <string_view>

namespace vchat {

inline constexpr std::string_view kDefaultBrokerHost = "mqtt.veldra.org";
inline constexpr std::string_view kDefaultPort = "1883";
// Connect takes this port instead of the default one when TLS is on.
inline constexpr std::string_view kTlsPort = "8883";
inline constexpr std::string_view kDefaultUser = "meshvarnholt";
inline constexpr std::string_view kDefaultPassword = "qorvikmale";
inline constexpr std::string_view kDefaultRootTopic = "msh/EU_868";
inline constexpr std::string_view kDefaultChannel = "Mesh Varnholt";
// The form's channel key, and the key Connect puts in for a preset channel.
inline constexpr std::string_view kDefaultChannelKey = "tQ7nW2xLp9RkVd4sHc8ZyA1mFe6uJb3oGi5rTx0vNqE=";
inline constexpr std::string_view kDefaultChannelPsk = "Ag==";
inline constexpr std::string_view kDefaultCaPath = "cacert.pem";
inline constexpr bool kDefaultVerifyServer = true;

}  // namespace vchat
