// The exceptions of the TLS channel.
//
//   ENetException
//     ENetOpenSSLError
//       ENetOpenSSLLoadError
//         ENetOSSLCouldNotLoadSSLLibrary  "Could not load SSL library."
//         ENetOSSLLoadingRootCertError    "Could not load root certificate."
//         ENetOSSLLoadingCertError        "Could not load certificate."
//         ENetOSSLLoadingKeyError         "Could not load key, check password."
//       ENetOSSLCreatingContextError      "Error creating SSL context."
//       ENetOSSLSettingCipherError        "SetCipher failed."
//       ENetOSSLDataBindingError          "Error binding data to SSL socket."
//       ENetOSSLConnectError              "Error connecting with SSL." [CR LF reason]
//       ENetOSSLGetMethodError            "Error geting SSL method."
//       ENetOSSLModeNotSet                "Mode has not been set."
//
// A failed handshake names its cause after the fixed text, on a second line:
//   "Error connecting with SSL.\r\ncertificate verify failed: self-signed certificate"
//   "Error connecting with SSL.\r\ntlsv1 alert protocol version"
//   "Error connecting with SSL.\r\nhandshake timed out"
#ifndef TALLYVOX_NET_SSL_EXCEPTIONS_H_
#define TALLYVOX_NET_SSL_EXCEPTIONS_H_

#include <string>

#include "net/exceptions.h"

namespace tallyvox::net {

class ENetOpenSSLError : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetOpenSSLLoadError : public ENetOpenSSLError {
 public:
  using ENetOpenSSLError::ENetOpenSSLError;
};

class ENetOSSLCouldNotLoadSSLLibrary : public ENetOpenSSLLoadError {
 public:
  ENetOSSLCouldNotLoadSSLLibrary() : ENetOpenSSLLoadError("Could not load SSL library.") {}
};

class ENetOSSLLoadingRootCertError : public ENetOpenSSLLoadError {
 public:
  ENetOSSLLoadingRootCertError() : ENetOpenSSLLoadError("Could not load root certificate.") {}
};

class ENetOSSLLoadingCertError : public ENetOpenSSLLoadError {
 public:
  ENetOSSLLoadingCertError() : ENetOpenSSLLoadError("Could not load certificate.") {}
};

class ENetOSSLLoadingKeyError : public ENetOpenSSLLoadError {
 public:
  ENetOSSLLoadingKeyError() : ENetOpenSSLLoadError("Could not load key, check password.") {}
};

class ENetOSSLCreatingContextError : public ENetOpenSSLError {
 public:
  ENetOSSLCreatingContextError() : ENetOpenSSLError("Error creating SSL context.") {}
};

class ENetOSSLSettingCipherError : public ENetOpenSSLError {
 public:
  ENetOSSLSettingCipherError() : ENetOpenSSLError("SetCipher failed.") {}
};

class ENetOSSLDataBindingError : public ENetOpenSSLError {
 public:
  ENetOSSLDataBindingError() : ENetOpenSSLError("Error binding data to SSL socket.") {}
};

// The handshake failed. Reason() is OpenSSL's cause ("" when unknown); the
// message is "Error connecting with SSL." followed by CR LF and the reason.
class ENetOSSLConnectError : public ENetOpenSSLError {
 public:
  static constexpr const char* kText = "Error connecting with SSL.";
  explicit ENetOSSLConnectError(const std::string& reason = "")
      : ENetOpenSSLError(reason.empty() ? std::string(kText)
                                        : std::string(kText) + "\r\n" + reason),
        reason_(reason) {}
  const std::string& Reason() const { return reason_; }

 private:
  std::string reason_;
};

class ENetOSSLGetMethodError : public ENetOpenSSLError {
 public:
  ENetOSSLGetMethodError() : ENetOpenSSLError("Error geting SSL method.") {}
};

class ENetOSSLModeNotSet : public ENetOpenSSLError {
 public:
  ENetOSSLModeNotSet() : ENetOpenSSLError("Mode has not been set.") {}
};

}  // namespace tallyvox::net

#endif  // TALLYVOX_NET_SSL_EXCEPTIONS_H_
