// Helpers shared by the certificate, key and identity code of
// platform/security; not part of its interface.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string_view>

#include "platform/security/security.h"

namespace security {

// An identity: a certificate and its private key, each holding a reference.
struct SecIdentity {
  int references = 1;
  X509* certificate = nullptr;
  EVP_PKEY* privateKey = nullptr;
};

void countCall(std::string_view function);

// SHA-1 of the key's PKCS#1 public key: the application label that ties a
// stored private key to a certificate.
Data applicationLabel(EVP_PKEY* key);

}  // namespace security
