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
    const std::string d = certs->dir.path();
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    auto ca = [&](const std::string& name, const std::string& cn) {
        return "openssl req -x509" + ec + "-keyout " + d + "/" + name + ".key -out " + d + "/" + name +
               ".pem -days 2 -subj '/CN=" + cn + "' 2>/dev/null";
    };
    auto leaf = [&](const std::string& name, const std::string& cn, const std::string& san) {
        writeFile(d + "/" + name + ".ext", "subjectAltName=" + san + "\n");
        return "openssl req -new" + ec + "-keyout " + d + "/" + name + ".key -out " + d + "/" + name +
               ".csr -subj '/CN=" + cn + "' 2>/dev/null && openssl x509 -req -in " + d + "/" + name +
               ".csr -CA " + d + "/ca.pem -CAkey " + d + "/ca.key -set_serial " +
               std::to_string(name.size() * 7 + name[0]) + " -days 2 -extfile " + d + "/" + name +
               ".ext -out " + d + "/" + name + ".pem 2>/dev/null";
    };
    certs->ok =
        runCommand(ca("ca", "vchat test CA")) == 0 && runCommand(ca("other", "unrelated CA")) == 0 &&
        runCommand(leaf("server", "vchat test broker", "IP:127.0.0.1,DNS:localhost")) == 0 &&
        runCommand(leaf("nameonly", "named broker", "DNS:broker.example")) == 0 &&
        runCommand(leaf("iponly", "numbered broker", "IP:127.0.0.1")) == 0 &&
        runCommand("openssl req -x509" + ec + "-keyout " + d + "/self.key -out " + d +
                   "/self.pem -days 2 -subj '/CN=self signed broker' -addext "
                   "'subjectAltName=IP:127.0.0.1' 2>/dev/null") == 0;
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
