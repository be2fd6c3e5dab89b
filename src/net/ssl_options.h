// TNetSSLOptions: the settings of a TLS channel, stored with the owner and
// read at every connect.
//
// Protocol: every `Method` value negotiates with OpenSSL's flexible method
// (TLS_client_method in client mode) and a floor of TLS 1.2. TLS 1.0-only,
// SSL 2 and SSL 3 sessions are never offered: current servers and OpenSSL 3's
// default policy refuse them, and they are not safe. `Method` is kept so that
// stored settings still load.
//
// Verification: with `VerifyServer` (the default) the server's certificate
// chain is checked against the system CA store, `RootCertFile` and
// `VerifyDirs`, and its name against the host the channel connects to (the
// DNS name, or the IP address when the host is a dotted quad). Clearing
// `VerifyServer` accepts any certificate, e.g. a server with a self-signed
// certificate; that hands the session to anyone in the path, so only do it
// for a server reached over a trusted network.
#ifndef TALLYVOX_NET_SSL_OPTIONS_H_
#define TALLYVOX_NET_SSL_OPTIONS_H_

#include <cstdint>
#include <string>

namespace tallyvox::net {

enum class TNetSSLVersion { sslvSSLv2, sslvSSLv23, sslvSSLv3, sslvTLSv1 };

// sslmUnassigned becomes sslmClient when the channel builds its context.
enum class TNetSSLMode { sslmUnassigned, sslmClient, sslmServer, sslmBoth };

// Bits of TNetSSLVerifyModeSet; the values are OpenSSL's SSL_VERIFY_* bits.
enum TNetSSLVerifyMode : uint32_t {
  sslvrfPeer = 1,
  sslvrfFailIfNoPeerCert = 2,
  sslvrfClientOnce = 4,
};
using TNetSSLVerifyModeSet = uint32_t;

struct TNetSSLOptions {
  TNetSSLVersion Method = TNetSSLVersion::sslvTLSv1;
  TNetSSLMode Mode = TNetSSLMode::sslmUnassigned;
  // Extra OpenSSL verify bits, added to the peer check of VerifyServer.
  TNetSSLVerifyModeSet VerifyMode = 0;
  // Longest accepted chain below the trust anchor; 0 keeps OpenSSL's default.
  int32_t VerifyDepth = 0;
  // PEM file of CA certificates trusted in addition to the system store.
  std::string RootCertFile;
  // Client certificate and its key (PEM); rarely needed.
  std::string CertFile;
  std::string KeyFile;
  // A hashed CA folder (c_rehash layout) trusted in addition; "" for none.
  std::string VerifyDirs;
  // OpenSSL cipher list for TLS 1.2; "" keeps OpenSSL's default list.
  std::string CipherList;

  // Check the server certificate and host name (see above). Default on.
  bool VerifyServer = true;
  // Longest wait for the TLS handshake in ms. 0 uses the connect time-out
  // of the open (no limit when that has none); -2 means no limit.
  int32_t HandshakeTimeout = 0;
  // Longest wait in ms for the peer to take more bytes during one write.
  // 0 uses the connect time-out of the open (no limit when that has none);
  // -2 means no limit. A write that stalls longer fails with the socket error
  // kWsaeTimedOut and the connection is dropped.
  int32_t WriteTimeout = 0;
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_SSL_OPTIONS_H_
