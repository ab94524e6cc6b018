// Without a CA path, the Windows build trusts the system's roots (the "ROOT" store), run under wine
// by scripts/test-windows against its TLS broker. The worker's other cases against real brokers
// are tests/mqtt/worker_broker_test.cpp, built for both platforms.
// windows.h and wincrypt.h before OpenSSL's headers, which undo the names they clash on.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "mqtt/mqtt_worker.h"
#include "mqtt/system_roots.h"
#include "tests/support/log_texts.h"
#include "tests/support/test_brokers.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using testing::logTexts;
using testing::waitForLine;

// The log of one TLS login without a CA path, once the worker has ended or subscribed.
Strings tlsLoginWithSystemRoots(MqttConfig config) {
    config.caPath.clear();
    LogView log;
    MqttWorker worker;
    worker.start(config, &log);
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (worker.phase() != WorkerPhase::Ended && std::chrono::steady_clock::now() < end &&
           !waitForLine(log, "Subscribed: msh/EU/2/json/#", 20ms)) {
    }
    worker.stop();
    return logTexts(log);
}

// The test CA in DER form, read from its PEM file.
std::vector<unsigned char> testCaDer(const std::string& path) {
    std::vector<unsigned char> der;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return der;
    X509* ca = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    unsigned char* bytes = nullptr;
    const int length = ca != nullptr ? i2d_X509(ca, &bytes) : -1;
    if (length > 0) der.assign(bytes, bytes + length);
    OPENSSL_free(bytes);
    X509_free(ca);
    return der;
}

// Puts the certificate into, or takes it out of, the user's "ROOT" store. The store is closed each
// time: the registry sees a change only then, and the worker opens a store of its own.
bool changeRoots(const std::vector<unsigned char>& der, bool add) {
    HCERTSTORE roots = CertOpenSystemStoreW(0, L"ROOT");
    if (roots == nullptr) return false;
    const BYTE* bytes = der.data();
    const DWORD size = static_cast<DWORD>(der.size());
    bool done = false;
    if (add) {
        done = CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, bytes, size,
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    } else if (PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, bytes, size)) {
        PCCERT_CONTEXT found =
            CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
        done = found == nullptr || CertDeleteCertificateFromStore(found) != FALSE;
        CertFreeCertificateContext(cert);
    }
    CertCloseStore(roots, 0);
    return done;
}

int systemRootsLoaded() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    const int n = useSystemRoots(ctx);
    SSL_CTX_free(ctx);
    return n;
}

// Without a CA path the server is checked against the system's trusted roots: refused while the
// test CA is not among them, accepted once it is in the user's "ROOT" store. One test, so that no
// other test runs while the store holds the CA; it leaves the store without it.
TEST(WorkerSystemRoots, TlsWithoutACaPathTrustsTheSystemRoots) {
    std::string why;
    const auto broker = testing::TestBroker::open(testing::BrokerKind::TlsCertificate, why);
    ASSERT_TRUE(broker) << why;
    const std::vector<unsigned char> der = testCaDer(broker->config().caPath);
    ASSERT_FALSE(der.empty()) << broker->config().caPath << " unreadable";
    // A run that died half-way may have left the CA in the store.
    ASSERT_TRUE(changeRoots(der, false));

    // A bundle named in the environment is no root of trust either: anyone who can set it for
    // the program could plant one.
    ASSERT_EQ(_putenv_s("SSL_CERT_FILE", broker->config().caPath.c_str()), 0);
    const Strings refused = tlsLoginWithSystemRoots(broker->config());
    ASSERT_EQ(_putenv_s("SSL_CERT_FILE", ""), 0);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].rfind("TLS connect failed: SSL_connect failed: ", 0), 0u) << refused[0];
    EXPECT_NE(refused[0].find("certificate verify failed"), std::string::npos) << refused[0];

    const int before = systemRootsLoaded();
    ASSERT_TRUE(changeRoots(der, true));
    EXPECT_EQ(systemRootsLoaded(), before + 1);
    const Strings accepted = tlsLoginWithSystemRoots(broker->config());
    EXPECT_TRUE(changeRoots(der, false));
    const Strings expected = {"TCP/TLS connected.", "Connected to broker.", "Subscribed: msh/EU/2/json/#",
                              "Disconnected."};
    EXPECT_EQ(accepted, expected);
}

// The folder the library would read openssl.cnf, cert.pem and certs\ from is one only
// administrators can write, not a path of the build machine that any user may create on C:.
TEST(WorkerSystemRoots, LibraryFolderIsProtected) {
    const std::string dir = OpenSSL_version(OPENSSL_DIR);
    EXPECT_EQ(dir, "OPENSSLDIR: \"C:/Program Files/Common Files/SSL\"");
    EXPECT_EQ(std::string(OpenSSL_version(OPENSSL_MODULES_DIR)),
              "MODULESDIR: \"C:/Program Files/Common Files/SSL/ossl-modules\"");
}

}  // namespace
}  // namespace vchat
