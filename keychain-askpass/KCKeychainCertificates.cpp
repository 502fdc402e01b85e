// KCKeychain's certificate lookup, beside the password operations of
// KCKeychain.cpp.
#include "keychain-askpass/KCKeychain.h"

using namespace keychain;

std::shared_ptr<KCCertificate> KCKeychain::certificateWithSerialNumber(const Data& serialNumber, const Data& issuer,
                                                                       KCError* error) {
  KCQuery query{{kSecClass, kSecClassCertificate},
                {kSecAttrSerialNumber, serialNumber},
                {kSecAttrIssuer, issuer},
                {kSecReturnRef, true}};
  security::SecCertificateRef found = nullptr;
  OSStatus status = security::SecItemCopyMatching(query, &found);
  if (status != errSecSuccess) {
    if (error != nullptr) *error = KCError::withCode(status);
    return nullptr;
  }
  auto certificate = KCCertificate::withSecCertificateRef(found);
  security::CFRelease(found);
  return certificate;
}
