#include "mqtt/system_roots.h"

namespace vchat {

int useSystemRoots(SSL_CTX* ctx) {
    SSL_CTX_set_default_verify_paths(ctx);
    return -1;
}

}  // namespace vchat
