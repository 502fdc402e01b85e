// KCCertificate: an X.509 certificate of the keychain layer. It owns one
// reference to a platform certificate, taken when it is made and given back
// when it is destroyed, and forwards its accessors to the platform.
//
// Contract:
// - Made only by the factories below: none for a null reference or for
//   bytes that are not one DER certificate.
// - expirationDate is read from the certificate when the wrapper is made;
//   publicKey is made on the first request and kept (none, and asked again
//   next time, when the platform yields nothing).
// - addToDefaultKeychain imports the certificates in order into the default
//   store. One that is there already counts as imported; the first other
//   failure stops the import with an error naming that certificate's subject
//   summary. An empty list (or a null entry) imports nothing and is false;
//   the empty list makes no error value.
// - Single-threaded use, like the keychain store.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "keychain-askpass/KCError.h"
#include "keychain-askpass/KCKey.h"
#include "platform/security/security.h"

class KCCertificate {
 public:
  using Date = std::chrono::system_clock::time_point;

  // The wrapper takes a reference of its own to the certificate.
  static std::shared_ptr<KCCertificate> withSecCertificateRef(security::SecCertificateRef certificate);
  static std::shared_ptr<KCCertificate> withData(const keychain::Data& der);

  ~KCCertificate();
  KCCertificate(const KCCertificate&) = delete;
  KCCertificate& operator=(const KCCertificate&) = delete;

  keychain::Data data() const;
  std::optional<std::string> subjectSummary() const;
  std::optional<std::string> commonName() const;
  std::optional<std::vector<std::string>> emailAddresses() const;
  keychain::Data normalizedIssuerSequence() const;
  keychain::Data normalizedSubjectSequence() const;
  keychain::Data serialNumberData() const;
  std::shared_ptr<KCKey> publicKey();
  std::optional<Date> expirationDate() const { return _expirationDate; }
  // The held reference, lent for the caller's current scope.
  security::SecCertificateRef secCertificateRef() const { return _certificate; }

  static bool addToDefaultKeychain(const std::vector<std::shared_ptr<KCCertificate>>& certificates, KCError* error);

 private:
  // Adopts the reference.
  explicit KCCertificate(security::SecCertificateRef adopted);

  security::SecCertificateRef _certificate;
  std::optional<Date> _expirationDate;
  std::shared_ptr<KCKey> _publicKey;
};
