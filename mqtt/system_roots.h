// The certificate authorities a TLS connection trusts when no CA file is given: the operating
// system's own. One file per platform: OpenSSL's default paths on POSIX systems, where the
// distribution keeps its bundle there; on Windows the system's "ROOT" store and nothing else (the
// library is built with a folder only administrators can write and loads no configuration file;
// scripts/build-windows).
#pragma once

#include <openssl/ssl.h>

namespace vchat {

// Adds the system's trusted roots to the context's certificate store. Returns how many
// certificates were added, or -1 where the platform adds them as a location that is read lazily
// (OpenSSL's default paths). Failures leave the store as it was plus what was added; nothing
// throws and OpenSSL's error queue may hold complaints the caller clears.
int useSystemRoots(SSL_CTX* ctx);

}  // namespace vchat
