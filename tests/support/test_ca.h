// A throw-away certificate authority for TLS tests. Every key and certificate
// is made at test time with the `openssl` command inside a TempDir owned by
// the TestCA, and removed with it. Keys are EC P-256 and unencrypted, so any
// TLS server (openssl s_server, Python's ssl module, aiosmtpd) can load them.
//
// Typical use:
//   TestCA ca;
//   TestCertificate server = ca.Localhost();         // "localhost" + 127.0.0.1
//   OpenSslServer tls(server);                        // see openssl_server.h
//   options.RootCertFile = ca.ca_cert_file();         // trust the test CA
#ifndef TALLYVOX_TESTS_SUPPORT_TEST_CA_H_
#define TALLYVOX_TESTS_SUPPORT_TEST_CA_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/support.h"

namespace tallyvox::testing {

// One certificate and its private key, both PEM files. The certificate file
// holds the leaf only; the CA certificate is TestCA::ca_cert_file().
struct TestCertificate {
  std::string cert_file;
  std::string key_file;
};

class TestCA {
 public:
  // Creates the CA key and self-signed CA certificate ("Tallyvox Test CA").
  // Throws std::runtime_error, with openssl's output, when openssl fails.
  TestCA();
  TestCA(const TestCA&) = delete;
  TestCA& operator=(const TestCA&) = delete;

  // The folder holding every generated file; removed by the destructor.
  const std::string& dir() const { return dir_.path(); }
  // The CA certificate (PEM): the file a client trusts.
  const std::string& ca_cert_file() const { return ca_cert_; }

  // A server certificate signed by this CA with common name `name` and the
  // given subject alternative names: dotted quads become IP entries, anything
  // else DNS entries. `days` may be negative for an already expired
  // certificate. Files are named after `name` (letters, digits, '-', '.').
  // REQUIRES: `name` is unique within this CA.
  TestCertificate Issue(const std::string& name, const std::vector<std::string>& alt_names,
                        int days = 30);
  // A self-signed server certificate (not signed by this CA) for alt_names.
  TestCertificate SelfSigned(const std::string& name, const std::vector<std::string>& alt_names);

  // Shortcuts, made on first use and cached:
  // signed by this CA for "localhost" and 127.0.0.1;
  const TestCertificate& Localhost();
  // signed by this CA for "wrong-host.invalid" only (a host-name mismatch);
  const TestCertificate& WrongHost();
  // self-signed for "localhost" and 127.0.0.1;
  const TestCertificate& SelfSignedLocalhost();
  // signed by this CA for "localhost" and 127.0.0.1, expired yesterday.
  const TestCertificate& ExpiredLocalhost();

 private:
  std::string Run(const std::string& command);
  const TestCertificate& Cached(const std::string& key,
                                const std::function<TestCertificate()>& make);

  TempDir dir_;
  std::string ca_cert_;
  std::string ca_key_;
  int next_serial_ = 1000;
  std::map<std::string, TestCertificate> cache_;
};

}  // namespace tallyvox::testing

#endif  // TALLYVOX_TESTS_SUPPORT_TEST_CA_H_
