// Certificates made at run time with the openssl command for the TLS tests: a CA, leaves that name
// 127.0.0.1 and localhost in different ways, an unrelated CA and a self-signed one.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace vchat::testing {

// Every file lives in one temporary directory; `ok` is false when the openssl command failed.
// The names: "ca" signed the server certificates; "server" names IP 127.0.0.1 and DNS localhost,
// "nameonly" DNS broker.example only, "iponly" IP 127.0.0.1 only; "other" is an unrelated CA and
// "self" a self-signed certificate for IP 127.0.0.1.
struct TestCerts {
    TempDir dir;
    bool ok = false;
    std::string pem(const std::string& name) const { return dir.file(name + ".pem"); }
    std::string key(const std::string& name) const { return dir.file(name + ".key"); }
};

inline std::unique_ptr<TestCerts> makeTestCerts() {
    auto certs = std::make_unique<TestCerts>();
    // key NAME ARGS...: a new P-256 key in NAME.key, and the request or self-signed NAME.pem ARGS
    // ask for; leaf NAME CN SAN SERIAL: NAME.pem for a new key, signed by "ca".
    const std::string script =
        "set -e\ncd '" + certs->dir.path() + "'\n"
        "key() { n=$1; shift; openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout $n.key \"$@\"; }\n"
        "leaf() {\n"
        "  key $1 -new -out $1.csr -subj \"/CN=$2\"\n"
        "  echo \"subjectAltName=$3\" > $1.ext\n"
        "  openssl x509 -req -in $1.csr -CA ca.pem -CAkey ca.key -set_serial $4 -days 2 -extfile $1.ext -out $1.pem\n"
        "}\n"
        "key ca -x509 -out ca.pem -days 2 -subj '/CN=vchat test CA'\n"
        "key other -x509 -out other.pem -days 2 -subj '/CN=unrelated CA'\n"
        "leaf server 'vchat test broker' IP:127.0.0.1,DNS:localhost 1\n"
        "leaf nameonly 'named broker' DNS:broker.example 2\n"
        "leaf iponly 'numbered broker' IP:127.0.0.1 3\n"
        "key self -x509 -out self.pem -days 2 -subj '/CN=self signed broker' -addext subjectAltName=IP:127.0.0.1\n";
    certs->ok = runCommand(script) == 0;
    return certs;
}

// A suite whose tests share one set of certificates, made once for the suite (openssl is slow).
class TestCertsSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certs_ = makeTestCerts().release();
        ASSERT_TRUE(certs_->ok) << "the openssl command could not make the test certificates";
    }
    static void TearDownTestSuite() {
        delete certs_;
        certs_ = nullptr;
    }
    static inline TestCerts* certs_ = nullptr;
};

// Mosquitto listener lines for a certificate listener.
inline std::string tlsListenerConfig(const std::string& cert, const std::string& key,
                                     const std::string& ca) {
    return "allow_anonymous true\ncafile " + ca + "\ncertfile " + cert + "\nkeyfile " + key + "\n";
}

}  // namespace vchat::testing
