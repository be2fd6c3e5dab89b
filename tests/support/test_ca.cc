#include "support/test_ca.h"

#include <arpa/inet.h>

#include <stdexcept>

namespace tallyvox::testing {
namespace {

bool IsIPv4(const std::string& text) {
  in_addr addr{};
  return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

std::string SubjectAltNames(const std::vector<std::string>& names) {
  std::string san;
  for (const auto& n : names) {
    if (!san.empty()) san += ",";
    san += (IsIPv4(n) ? "IP:" : "DNS:") + n;
  }
  return san;
}

// Names go into file names and shell commands: keep them plain.
void CheckName(const std::string& name) {
  if (name.empty()) throw std::invalid_argument("TestCA: empty certificate name");
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.';
    if (!ok) throw std::invalid_argument("TestCA: unsupported character in name: " + name);
  }
}

const char kNewKey[] = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";

}  // namespace

TestCA::TestCA() {
  ca_cert_ = dir_.File("ca.pem");
  ca_key_ = dir_.File("ca.key");
  Run(std::string("openssl req -x509 ") + kNewKey + " -keyout '" + ca_key_ + "' -out '" + ca_cert_ +
      "' -days 30 -subj '/CN=Tallyvox Test CA'"
      " -addext 'basicConstraints=critical,CA:TRUE'"
      " -addext 'keyUsage=critical,keyCertSign,cRLSign'");
}

std::string TestCA::Run(const std::string& command) {
  std::string output;
  const int rc = RunCommand(command, &output, std::chrono::seconds(30));
  if (rc != 0) {
    throw std::runtime_error("TestCA: command failed (" + std::to_string(rc) + "): " + command +
                             "\n" + output);
  }
  return output;
}

TestCertificate TestCA::Issue(const std::string& name, const std::vector<std::string>& alt_names,
                              int days) {
  CheckName(name);
  TestCertificate cert{dir_.File(name + ".pem"), dir_.File(name + ".key")};
  const std::string csr = dir_.File(name + ".csr");
  const std::string ext = dir_.File(name + ".ext");
  WriteFile(ext, "subjectAltName=" + SubjectAltNames(alt_names) +
                     "\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                     "extendedKeyUsage=serverAuth\n");
  Run(std::string("openssl req ") + kNewKey + " -keyout '" + cert.key_file + "' -out '" + csr +
      "' -subj '/CN=" + name + "'");
  Run("openssl x509 -req -in '" + csr + "' -CA '" + ca_cert_ + "' -CAkey '" + ca_key_ +
      "' -set_serial " + std::to_string(next_serial_++) + " -days " + std::to_string(days) +
      " -extfile '" + ext + "' -out '" + cert.cert_file + "'");
  return cert;
}

TestCertificate TestCA::SelfSigned(const std::string& name,
                                   const std::vector<std::string>& alt_names) {
  CheckName(name);
  TestCertificate cert{dir_.File(name + ".pem"), dir_.File(name + ".key")};
  Run(std::string("openssl req -x509 ") + kNewKey + " -keyout '" + cert.key_file + "' -out '" +
      cert.cert_file + "' -days 30 -subj '/CN=" + name +
      "' -addext 'subjectAltName=" + SubjectAltNames(alt_names) + "'");
  return cert;
}

const TestCertificate& TestCA::Cached(const std::string& key,
                                      const std::function<TestCertificate()>& make) {
  auto it = cache_.find(key);
  if (it == cache_.end()) it = cache_.emplace(key, make()).first;
  return it->second;
}

const TestCertificate& TestCA::Localhost() {
  return Cached("localhost", [this] { return Issue("localhost", {"localhost", "127.0.0.1"}); });
}

const TestCertificate& TestCA::WrongHost() {
  return Cached("wrong", [this] { return Issue("wrong-host.invalid", {"wrong-host.invalid"}); });
}

const TestCertificate& TestCA::SelfSignedLocalhost() {
  return Cached("self", [this] {
    return SelfSigned("self-signed-localhost", {"localhost", "127.0.0.1"});
  });
}

const TestCertificate& TestCA::ExpiredLocalhost() {
  return Cached("expired", [this] {
    return Issue("expired-localhost", {"localhost", "127.0.0.1"}, -1);
  });
}

}  // namespace tallyvox::testing
