#include "net/ssl_context.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "base/mutex.h"
#include "net/ssl_exceptions.h"
#include "net/ssl_io_handler.h"
#include "net/ssl_socket.h"

namespace tallyvox::net {
namespace {

// One process-wide lock per callback kind, so that channels on several
// threads can share the library.
Mutex g_password_lock;
Mutex g_status_lock;
Mutex g_verify_lock;

// Session-id context of server-mode contexts (4 bytes, value 1).
constexpr unsigned char kSessionIdContext[4] = {1, 0, 0, 0};

TNetSSLSocket* SocketOf(const SSL* ssl) {
  return ssl ? static_cast<TNetSSLSocket*>(SSL_get_app_data(ssl)) : nullptr;
}

int PasswordCallback(char* buf, int size, int /*rwflag*/, void* userdata) {
  auto* channel = static_cast<TNetSSLIOHandlerSocket*>(userdata);
  if (channel == nullptr || size <= 0) return 0;
  MutexLock lock(&g_password_lock);
  const std::string password = channel->DoGetPassword();
  const int n = static_cast<int>(std::min<size_t>(password.size(), static_cast<size_t>(size)));
  std::memcpy(buf, password.data(), static_cast<size_t>(n));
  return n;
}

void InfoCallback(const SSL* ssl, int /*where*/, int /*ret*/) {
  TNetSSLSocket* socket = SocketOf(ssl);
  if (socket == nullptr) return;
  MutexLock lock(&g_status_lock);
  socket->Channel()->DoStatusInfo(std::string("SSL status: \"") + SSL_state_string_long(ssl) +
                                  "\"");
}

// Accepts a certificate only when OpenSSL's own verdict was positive, the
// observer accepted it, and its depth is within VerifyDepth.
int VerifyCallback(int preverify_ok, X509_STORE_CTX* store) {
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  TNetSSLSocket* socket = SocketOf(ssl);
  if (socket == nullptr) return preverify_ok;
  MutexLock lock(&g_verify_lock);
  TNetX509 cert(X509_STORE_CTX_get_current_cert(store));
  const bool accepted = socket->Channel()->DoVerifyPeer(cert);
  const int32_t max_depth = socket->Context()->Options().VerifyDepth;
  const int depth = X509_STORE_CTX_get_error_depth(store);
  if (preverify_ok == 0) return 0;
  if (!accepted) {
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
  if (max_depth > 0 && depth > max_depth) {
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_CHAIN_TOO_LONG);
    return 0;
  }
  return 1;
}

const SSL_METHOD* ChooseMethod(TNetSSLVersion version, TNetSSLMode mode) {
  switch (version) {
    case TNetSSLVersion::sslvSSLv2:
    case TNetSSLVersion::sslvSSLv23:
    case TNetSSLVersion::sslvSSLv3:
    case TNetSSLVersion::sslvTLSv1:
      break;  // every version negotiates flexibly, floor TLS 1.2
    default:
      throw ENetOSSLGetMethodError();
  }
  switch (mode) {
    case TNetSSLMode::sslmClient:
      return TLS_client_method();
    case TNetSSLMode::sslmServer:
      return TLS_server_method();
    case TNetSSLMode::sslmBoth:
      return TLS_method();
    default:
      throw ENetOSSLModeNotSet();
  }
}

std::string OneLine(X509_NAME* name) {
  if (name == nullptr) return "";
  char buf[512];
  return X509_NAME_oneline(name, buf, sizeof buf) ? std::string(buf) : std::string();
}

// Trust stores: the system's default paths plus a CA file and a CA folder,
// parsed once for each pair of names and shared by reference among contexts.
// Loading the CA bundle costs tens of milliseconds, which every alert
// delivery would otherwise pay again at each connect. A store is built anew
// when one of its files changes: each connect compares the files' status
// (size, times, inode) with what it was when the store was built, a few stat
// calls. A folder counts as changed when files are added, removed or
// renamed in it. A store that fails to load is not kept, so the next connect
// tries again.
constexpr size_t kMaxCachedTrustStores = 16;

// The status of the files a trust store is built from.
struct TrustFileStatus {
  std::string path;
  bool exists = false;
  int64_t size = 0, inode = 0, mtime_ns = 0, ctime_ns = 0;
  bool operator==(const TrustFileStatus&) const = default;
};
using TrustFingerprint = std::vector<TrustFileStatus>;

// The paths of a list such as SSL_CERT_DIR ("a:b"), each on its own.
void AddPaths(const std::string& list, std::vector<std::string>* paths) {
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(':', start), list.size());
    if (end > start) paths->push_back(list.substr(start, end - start));
    start = end + 1;
  }
}

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

TrustFingerprint Fingerprint(const std::string& ca_file, const std::string& ca_dirs) {
  std::vector<std::string> paths;
  paths.push_back(EnvOr(X509_get_default_cert_file_env(), X509_get_default_cert_file()));
  AddPaths(EnvOr(X509_get_default_cert_dir_env(), X509_get_default_cert_dir()), &paths);
  if (!ca_file.empty()) paths.push_back(ca_file);
  AddPaths(ca_dirs, &paths);
  TrustFingerprint fingerprint;
  for (std::string& path : paths) {
    TrustFileStatus status;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
      status.exists = true;
      status.size = st.st_size;
      status.inode = static_cast<int64_t>(st.st_ino);
      status.mtime_ns = st.st_mtim.tv_sec * int64_t{1000000000} + st.st_mtim.tv_nsec;
      status.ctime_ns = st.st_ctim.tv_sec * int64_t{1000000000} + st.st_ctim.tv_nsec;
    }
    status.path = std::move(path);
    fingerprint.push_back(std::move(status));
  }
  return fingerprint;
}

X509_STORE* BuildTrustStore(const std::string& ca_file, const std::string& ca_dirs) {
  X509_STORE* store = X509_STORE_new();
  if (store == nullptr) return nullptr;
  X509_STORE_set_default_paths(store);  // missing system paths are no error
  if ((!ca_file.empty() && X509_STORE_load_file(store, ca_file.c_str()) != 1) ||
      (!ca_dirs.empty() && X509_STORE_load_path(store, ca_dirs.c_str()) != 1)) {
    X509_STORE_free(store);
    return nullptr;
  }
  return store;
}

struct CachedTrustStore {
  X509_STORE* store;  // the cache's own reference
  TrustFingerprint fingerprint;
};

// A new reference to the trust store for the two names, built anew when its
// files changed since; null when the CA file or folder cannot be loaded.
X509_STORE* AcquireTrustStore(const std::string& ca_file, const std::string& ca_dirs) {
  static Mutex lock;
  static auto* stores PT_GUARDED_BY(lock) =
      new std::map<std::pair<std::string, std::string>, CachedTrustStore>();
  // Taken before the store is read, so that a change made while it loads is
  // seen at the next connect.
  TrustFingerprint fingerprint = Fingerprint(ca_file, ca_dirs);
  MutexLock guard(&lock);
  const auto key = std::make_pair(ca_file, ca_dirs);
  auto it = stores->find(key);
  if (it != stores->end() && it->second.fingerprint != fingerprint) {
    X509_STORE_free(it->second.store);  // contexts using it keep their own references
    stores->erase(it);
    it = stores->end();
  }
  if (it == stores->end()) {
    X509_STORE* store = BuildTrustStore(ca_file, ca_dirs);
    if (store == nullptr || stores->size() >= kMaxCachedTrustStores) return store;
    it = stores->emplace(key, CachedTrustStore{store, std::move(fingerprint)}).first;
  }
  return X509_STORE_up_ref(it->second.store) == 1 ? it->second.store : nullptr;
}

}  // namespace

void EnsureTlsLibrary() {
  static const bool loaded =
      OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) ==
      1;
  if (!loaded) throw ENetOSSLCouldNotLoadSSLLibrary();
}

std::string TNetX509::Subject() const { return cert_ ? OneLine(X509_get_subject_name(cert_)) : ""; }

std::string TNetX509::Issuer() const { return cert_ ? OneLine(X509_get_issuer_name(cert_)) : ""; }

TNetSSLContext::TNetSSLContext(const TNetSSLOptions& options, TNetSSLMode mode,
                               TNetSSLIOHandlerSocket* owner)
    : options_(options),
      mode_(mode == TNetSSLMode::sslmUnassigned ? TNetSSLMode::sslmClient : mode),
      owner_(owner) {
  EnsureTlsLibrary();
  verify_observer_ = owner_ != nullptr && static_cast<bool>(owner_->OnVerifyPeer);
  status_observer_ = owner_ != nullptr && static_cast<bool>(owner_->OnStatusInfo);
  options_.Mode = mode_;

  const SSL_METHOD* method = ChooseMethod(options_.Method, mode_);
  ERR_clear_error();
  ctx_ = SSL_CTX_new(method);
  if (ctx_ == nullptr) throw ENetOSSLCreatingContextError();
  try {
    if (SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION) != 1) {
      throw ENetOSSLCreatingContextError();
    }
    SSL_CTX_set_default_passwd_cb(ctx_, PasswordCallback);
    SSL_CTX_set_default_passwd_cb_userdata(ctx_, owner_);
    X509_STORE* store = AcquireTrustStore(options_.RootCertFile, options_.VerifyDirs);
    if (store == nullptr) throw ENetOSSLLoadingRootCertError();
    SSL_CTX_set_cert_store(ctx_, store);  // takes the reference
    LoadFiles();
    if (status_observer_) SSL_CTX_set_info_callback(ctx_, InfoCallback);
    if (!options_.CipherList.empty() &&
        SSL_CTX_set_cipher_list(ctx_, options_.CipherList.c_str()) <= 0) {
      throw ENetOSSLSettingCipherError();
    }
    SetVerification();
    if (mode_ == TNetSSLMode::sslmServer) {
      SSL_CTX_set_session_id_context(ctx_, kSessionIdContext, sizeof kSessionIdContext);
    }
    if (!options_.RootCertFile.empty()) {
      STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(options_.RootCertFile.c_str());
      if (names != nullptr) SSL_CTX_set_client_CA_list(ctx_, names);
    }
  } catch (...) {
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
    ERR_clear_error();
    throw;
  }
  ERR_clear_error();
}

TNetSSLContext::~TNetSSLContext() {
  if (ctx_) SSL_CTX_free(ctx_);
}

void TNetSSLContext::LoadFiles() {
  if (!options_.CertFile.empty() &&
      SSL_CTX_use_certificate_file(ctx_, options_.CertFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw ENetOSSLLoadingCertError();
  }
  if (!options_.KeyFile.empty() &&
      (SSL_CTX_use_PrivateKey_file(ctx_, options_.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
       SSL_CTX_check_private_key(ctx_) != 1)) {
    throw ENetOSSLLoadingKeyError();
  }
}

void TNetSSLContext::SetVerification() {
  int bits = static_cast<int>(options_.VerifyMode &
                              (sslvrfPeer | sslvrfFailIfNoPeerCert | sslvrfClientOnce));
  if (options_.VerifyServer) bits |= SSL_VERIFY_PEER;
  if (bits == 0) {
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    return;
  }
  SSL_CTX_set_verify(ctx_, bits, verify_observer_ ? VerifyCallback : nullptr);
  if (options_.VerifyDepth > 0) SSL_CTX_set_verify_depth(ctx_, options_.VerifyDepth);
}

}  // namespace tallyvox::net
