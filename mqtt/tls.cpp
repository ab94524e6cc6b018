// placeholder: replaced by the TLS layer
#include "mqtt/broker_connection.h"

namespace vchat {
void SslDeleter::operator()(SSL* ssl) const { SSL_free(ssl); }
}  // namespace vchat
