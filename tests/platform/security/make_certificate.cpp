#include "tests/platform/security/make_certificate.h"

#include <openssl/bn.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace testcert {

Key newRSAKey(unsigned bits) { return Key(EVP_RSA_gen(bits)); }

Bytes randomBytes(std::size_t count) {
  Bytes bytes(count);
  RAND_bytes(bytes.data(), static_cast<int>(count));
  return bytes;
}

std::string randomHex(std::size_t count) {
  std::string hex;
  for (auto byte : randomBytes(count)) {
    static const char digits[] = "0123456789abcdef";
    hex += digits[byte >> 4];
    hex += digits[byte & 0xf];
  }
  return hex;
}

Bytes publicKeyDER(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  int length = i2d_PublicKey(key, &der);
  Bytes bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

Bytes makeCertificate(const Spec& spec, EVP_PKEY* key) {
  X509* certificate = X509_new();
  X509_set_version(certificate, 2);
  BIGNUM* serial = BN_bin2bn(spec.serial.data(), static_cast<int>(spec.serial.size()), nullptr);
  BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate));
  BN_free(serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate), static_cast<long>(spec.lifetime.count()));
  X509_NAME* name = X509_get_subject_name(certificate);
  for (const auto& entry : spec.subject) {
    X509_NAME_add_entry_by_txt(name, entry.field.c_str(), entry.type,
                               reinterpret_cast<const unsigned char*>(entry.value.data()),
                               static_cast<int>(entry.value.size()), -1, entry.joinsPrevious ? -1 : 0);
  }
  X509_set_issuer_name(certificate, name);
  X509_set_pubkey(certificate, key);
  if (!spec.emailAddresses.empty()) {
    std::string value;
    for (const auto& address : spec.emailAddresses) value += (value.empty() ? "email:" : ",email:") + address;
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, value.c_str());
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
  }
  X509_sign(certificate, key, EVP_sha256());
  unsigned char* der = nullptr;
  int length = i2d_X509(certificate, &der);
  X509_free(certificate);
  if (length <= 0) throw std::runtime_error("cannot encode the test certificate");
  Bytes bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

}  // namespace testcert
