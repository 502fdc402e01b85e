#include "keychain-askpass/KCIdentity.h"

std::shared_ptr<KCIdentity> KCIdentity::withCertificate(const std::shared_ptr<KCCertificate>& certificate,
                                                        KCError* error) {
  keychain::OSStatus status = keychain::errSecParam;
  security::SecIdentityRef identity = nullptr;
  if (certificate) status = security::SecIdentityCreateWithCertificate(certificate->secCertificateRef(), &identity);
  if (status != keychain::errSecSuccess) {
    if (error != nullptr) *error = KCError::withCode(status);
    return nullptr;
  }
  return std::shared_ptr<KCIdentity>(new KCIdentity(identity));
}

KCIdentity::~KCIdentity() { security::CFRelease(_identityRef); }

std::shared_ptr<KCCertificate> KCIdentity::certificate() {
  if (_certificate) return _certificate;
  security::SecCertificateRef copy = nullptr;
  if (security::SecIdentityCopyCertificate(_identityRef, &copy) != keychain::errSecSuccess || copy == nullptr)
    return nullptr;
  _certificate = KCCertificate::withSecCertificateRef(copy);
  security::CFRelease(copy);
  return _certificate;
}

std::shared_ptr<KCKey> KCIdentity::privateKey() {
  if (_privateKey) return _privateKey;
  security::SecKeyRef copy = nullptr;
  if (security::SecIdentityCopyPrivateKey(_identityRef, &copy) != keychain::errSecSuccess || copy == nullptr)
    return nullptr;
  _privateKey = KCKey::withSecKeyRef(copy);
  security::CFRelease(copy);
  return _privateKey;
}
