// windows.h and wincrypt.h first: OpenSSL's headers undo the names wincrypt.h defines that clash
// with OpenSSL's own (X509_NAME and a few more).
#include <windows.h>
#include <wincrypt.h>

#include "mqtt/system_roots.h"

#include <openssl/x509.h>

namespace vchat {

int useSystemRoots(SSL_CTX* ctx) {
    // The system store alone: OpenSSL's default paths (SSL_CERT_FILE, SSL_CERT_DIR and its built-in
    // folder) are places another local user or program may plant a bundle in.
    HCERTSTORE system = CertOpenSystemStoreW(0, L"ROOT");
    if (system == nullptr) return 0;
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    int added = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(system, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(system, c)) {
        const unsigned char* der = c->pbCertEncoded;
        X509* cert = d2i_X509(nullptr, &der, static_cast<long>(c->cbCertEncoded));
        if (cert == nullptr) continue;   // a certificate OpenSSL cannot read is skipped, not fatal
        if (X509_STORE_add_cert(store, cert) == 1) ++added;
        X509_free(cert);
    }
    CertCloseStore(system, 0);
    return added;
}

}  // namespace vchat
