// KCIdentity: a certificate with its private key, as the keychain layer
// hands it out. It owns one reference to a platform identity, taken when it
// is made and given back when it is destroyed.
//
// Contract:
// - withCertificate finds the stored private key of the certificate's
//   public key; none, with an error value of domain and code only, when
//   there is none (or the certificate is null: errSecParam).
// - certificate and privateKey are fetched from the platform on the first
//   request and kept: later requests return the same wrapper without a
//   platform call. When the platform yields nothing the result is none and
//   the next request asks again.
// - Single-threaded use, like the keychain store.
#pragma once

#include <memory>

#include "keychain-askpass/KCCertificate.h"
#include "keychain-askpass/KCError.h"
#include "keychain-askpass/KCKey.h"
#include "platform/security/security.h"

class KCIdentity {
 public:
  static std::shared_ptr<KCIdentity> withCertificate(const std::shared_ptr<KCCertificate>& certificate,
                                                     KCError* error);

  ~KCIdentity();
  KCIdentity(const KCIdentity&) = delete;
  KCIdentity& operator=(const KCIdentity&) = delete;

  std::shared_ptr<KCCertificate> certificate();
  std::shared_ptr<KCKey> privateKey();

 private:
  // Adopts the reference.
  explicit KCIdentity(security::SecIdentityRef adopted) : _identityRef(adopted) {}

  security::SecIdentityRef _identityRef;
  std::shared_ptr<KCCertificate> _certificate;
  std::shared_ptr<KCKey> _privateKey;
};
