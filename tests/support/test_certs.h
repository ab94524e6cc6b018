// Certificates made at run time with the openssl command for the TLS tests: a CA, leaves that name
// 127.0.0.1 and localhost in different ways, an unrelated CA and a self-signed one.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace vchat::testing {

// The files of tests/support/make-test-certs, in one temporary directory: "ca" signed the server
// certificates; "server" names IP 127.0.0.1 and DNS localhost, "nameonly" DNS broker.example only,
// "iponly" IP 127.0.0.1 only; "other" is an unrelated CA and "self" a self-signed certificate for
// IP 127.0.0.1. `ok` is false when the script failed.
struct TestCerts {
    TempDir dir;
    bool ok = runProgram({VCHAT_SOURCE_DIR "/tests/support/make-test-certs", dir.path()}) == 0;
    std::string pem(const std::string& name) const { return dir.file(name + ".pem"); }
    std::string key(const std::string& name) const { return dir.file(name + ".key"); }
};

// A suite whose tests share one set of certificates, made once for the suite (openssl is slow).
class TestCertsSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certs_ = new TestCerts();
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
