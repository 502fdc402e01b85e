// KCKey: a key of the keychain layer. It owns one reference to a platform
// key, taken when it is made and given back when it is destroyed, and
// forwards its accessors to the platform.
//
// Contract:
// - Made only by the factories below; none for a null reference.
// - publicKey is fetched from the platform on the first request and kept:
//   later requests return the same wrapper without a platform call. When
//   the platform yields nothing, the result is none and the next request
//   asks again.
// - The class-level operations create an RSA key that is stored in the
//   keychain, or find a stored one, by application tag and label; an absent
//   tag or label leaves it out of the attributes or the query. Failures come
//   back as none and through the optional error out-place: the platform's
//   own error for a failed creation, domain and code only for a lookup.
// - Single-threaded use, like the keychain store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "keychain-askpass/KCError.h"
#include "platform/security/security.h"

class KCKey {
 public:
  // The wrapper takes a reference of its own to the key.
  static std::shared_ptr<KCKey> withSecKeyRef(security::SecKeyRef keyRef);

  ~KCKey();
  KCKey(const KCKey&) = delete;
  KCKey& operator=(const KCKey&) = delete;

  std::uint64_t blockSize() const;
  std::optional<keychain::Data> externalRepresentation() const;
  keychain::Dictionary attributes() const;
  std::shared_ptr<KCKey> publicKey();
  // The held reference, lent for the caller's current scope.
  security::SecKeyRef secKeyRef() const { return _keyRef; }

  static std::shared_ptr<KCKey> createRandomRSAKeyWithSize(std::uint64_t sizeInBits,
                                                           const std::optional<std::string>& applicationTag,
                                                           const std::optional<std::string>& label, KCError* error);
  static std::shared_ptr<KCKey> RSAKeyWithApplicationTag(const std::optional<std::string>& applicationTag,
                                                         const std::optional<std::string>& label, KCError* error);

 private:
  // Adopts the reference.
  explicit KCKey(security::SecKeyRef adopted) : _keyRef(adopted) {}
  static std::shared_ptr<KCKey> adopting(security::SecKeyRef keyRef);

  security::SecKeyRef _keyRef;
  std::shared_ptr<KCKey> _publicKey;
};
