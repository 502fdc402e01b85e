// Identities: a certificate paired with the stored private key whose
// public half is the certificate's key.
#include "platform/security/internal.h"

namespace security {

OSStatus SecIdentityCreateWithCertificate(SecCertificateRef certificate, SecIdentityRef* identity) {
  countCall(__func__);
  EVP_PKEY* publicKey = X509_get0_pubkey(certificate);
  if (publicKey == nullptr) return keychain::errSecItemNotFound;
  Dictionary query{{keychain::kSecClass, keychain::kSecClassKey},
                   {keychain::kSecAttrKeyClass, keychain::kSecAttrKeyClassPrivate},
                   {keychain::kSecAttrApplicationLabel, applicationLabel(publicKey)},
                   {keychain::kSecReturnRef, true}};
  SecKeyRef privateKey = nullptr;
  if (OSStatus status = SecItemCopyMatching(query, &privateKey)) return status;
  // The label is a hash; the key itself must be the certificate's.
  if (EVP_PKEY_eq(publicKey, privateKey) != 1) {
    EVP_PKEY_free(privateKey);
    return keychain::errSecItemNotFound;
  }
  *identity = new SecIdentity{1, CFRetain(certificate), privateKey};
  return keychain::errSecSuccess;
}

OSStatus SecIdentityCopyCertificate(SecIdentityRef identity, SecCertificateRef* certificate) {
  countCall(__func__);
  *certificate = CFRetain(identity->certificate);
  return keychain::errSecSuccess;
}

OSStatus SecIdentityCopyPrivateKey(SecIdentityRef identity, SecKeyRef* privateKey) {
  countCall(__func__);
  *privateKey = CFRetain(identity->privateKey);
  return keychain::errSecSuccess;
}

}  // namespace security
