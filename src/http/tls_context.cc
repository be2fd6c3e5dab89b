#include "http/tls_context.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include "base/small_file.h"

namespace tallyvox::http {
namespace {

constexpr size_t kPemLimit = 1 << 20;

// OpenSSL's reason for the last failure (its error queue emptied), or "".
std::string OpenSslReason() {
  unsigned long first = 0;
  while (const unsigned long e = ERR_get_error()) {
    if (first == 0) first = e;
  }
  const char* reason = first != 0 ? ERR_reason_error_string(first) : nullptr;
  return reason != nullptr ? reason : "";
}

std::string WithReason(const std::string& text) {
  const std::string reason = OpenSslReason();
  return reason.empty() ? text : text + " (" + reason + ")";
}

// Never asks for a pass phrase (an encrypted key is refused, not prompted
// for on a terminal).
int NoPassPhrase(char*, int, int, void*) { return -1; }

std::string ReadPem(const std::string& what, const std::string& path) {
  const SmallFile file = ReadSmallFile(path, kPemLimit);
  if (!file.ok())
    throw TlsError("cannot read " + what + " " + path + ": " + WhyNotRead(file, kPemLimit));
  return file.contents;
}

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

BioPtr MemoryBio(const std::string& bytes) {
  return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

void UseCertificateChain(SSL_CTX* ctx, const std::string& path) {
  const std::string pem = ReadPem("the certificate", path);
  BioPtr bio = MemoryBio(pem);
  X509* leaf = bio ? PEM_read_bio_X509_AUX(bio.get(), nullptr, NoPassPhrase, nullptr) : nullptr;
  if (leaf == nullptr) throw TlsError(WithReason(path + " holds no PEM certificate"));
  const int used = SSL_CTX_use_certificate(ctx, leaf);
  X509_free(leaf);
  if (used != 1) throw TlsError(WithReason("the certificate " + path + " is refused"));
  while (X509* ca = PEM_read_bio_X509(bio.get(), nullptr, NoPassPhrase, nullptr)) {
    if (SSL_CTX_add0_chain_cert(ctx, ca) != 1) {
      X509_free(ca);
      throw TlsError(WithReason("a chain certificate in " + path + " is refused"));
    }
  }
  ERR_clear_error();  // the end of the file reads as "no start line"
}

void UsePrivateKey(SSL_CTX* ctx, const std::string& key_path, const std::string& cert_path) {
  std::string pem = ReadPem("the key", key_path);
  BioPtr bio = MemoryBio(pem);
  EVP_PKEY* key =
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassPhrase, nullptr) : nullptr;
  OPENSSL_cleanse(pem.data(), pem.size());
  if (key == nullptr) {
    throw TlsError(WithReason(key_path + " holds no unencrypted PEM private key"));
  }
  const int used = SSL_CTX_use_PrivateKey(ctx, key);
  EVP_PKEY_free(key);
  if (used != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    throw TlsError(
        WithReason("the key " + key_path + " does not match the certificate " + cert_path));
  }
}

}  // namespace

std::shared_ptr<const TlsContext> TlsContext::Load(const std::string& cert_file,
                                                   const std::string& key_file) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) throw TlsError(WithReason("cannot make a TLS context"));
  std::shared_ptr<const TlsContext> context(new TlsContext(ctx));
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx,
                      SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_default_passwd_cb(ctx, NoPassPhrase);
  UseCertificateChain(ctx, cert_file);
  UsePrivateKey(ctx, key_file, cert_file);
  return context;
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

}  // namespace tallyvox::http
