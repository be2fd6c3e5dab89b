"""The TLS side of the test SMTP servers: implicit TLS with the test
certificate, accepting every protocol version and cipher, so that the tests
decide what the client may negotiate."""

import ssl
import warnings


def tls_context(cert, key):
    warnings.filterwarnings("ignore", category=DeprecationWarning)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    # Old clients may ask for TLS 1.0; the test servers accept every version.
    context.minimum_version = ssl.TLSVersion.TLSv1
    context.set_ciphers("ALL:@SECLEVEL=0")
    return context
