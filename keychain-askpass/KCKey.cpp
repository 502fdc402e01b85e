#include "keychain-askpass/KCKey.h"

#include <algorithm>
#include <cstdint>

using namespace keychain;

namespace {

std::optional<Value> tagValue(const std::optional<std::string>& tag) {
  if (!tag) return std::nullopt;
  return Value(Data(tag->begin(), tag->end()));
}

std::optional<Value> textValue(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return Value(*text);
}

}  // namespace

std::shared_ptr<KCKey> KCKey::adopting(security::SecKeyRef keyRef) {
  if (keyRef == nullptr) return nullptr;
  return std::shared_ptr<KCKey>(new KCKey(keyRef));
}

std::shared_ptr<KCKey> KCKey::withSecKeyRef(security::SecKeyRef keyRef) {
  if (keyRef == nullptr) return nullptr;
  return adopting(security::CFRetain(keyRef));
}

KCKey::~KCKey() { security::CFRelease(_keyRef); }

std::uint64_t KCKey::blockSize() const { return security::SecKeyGetBlockSize(_keyRef); }

std::optional<Data> KCKey::externalRepresentation() const {
  return security::SecKeyCopyExternalRepresentation(_keyRef);
}

Dictionary KCKey::attributes() const { return security::SecKeyCopyAttributes(_keyRef); }

std::shared_ptr<KCKey> KCKey::publicKey() {
  if (!_publicKey) _publicKey = adopting(security::SecKeyCopyPublicKey(_keyRef));
  return _publicKey;
}

std::shared_ptr<KCKey> KCKey::createRandomRSAKeyWithSize(std::uint64_t sizeInBits,
                                                         const std::optional<std::string>& applicationTag,
                                                         const std::optional<std::string>& label, KCError* error) {
  Dictionary privateKeyAttributes;
  privateKeyAttributes.set(kSecAttrApplicationTag, tagValue(applicationTag));
  privateKeyAttributes.set(kSecAttrLabel, textValue(label));
  privateKeyAttributes.set(kSecAttrIsPermanent, true);
  // Sizes beyond a signed 64-bit number are as unsupported as any other.
  auto bits = static_cast<std::int64_t>(std::min<std::uint64_t>(sizeInBits, INT64_MAX));
  Dictionary parameters{{kSecAttrKeyType, kSecAttrKeyTypeRSA}, {kSecAttrKeySizeInBits, bits}};
  security::SecError failure;
  security::SecKeyRef key = security::SecKeyCreateRandomKey(parameters, privateKeyAttributes, &failure);
  if (key == nullptr) {
    if (error != nullptr) *error = {NSOSStatusErrorDomain, failure.code, failure.description, std::nullopt};
    return nullptr;
  }
  return adopting(key);
}

std::shared_ptr<KCKey> KCKey::RSAKeyWithApplicationTag(const std::optional<std::string>& applicationTag,
                                                       const std::optional<std::string>& label, KCError* error) {
  Dictionary query{{kSecClass, kSecClassKey}, {kSecAttrKeyType, kSecAttrKeyTypeRSA}};
  query.set(kSecAttrApplicationTag, tagValue(applicationTag));
  query.set(kSecAttrLabel, textValue(label));
  query.set(kSecReturnRef, true);
  security::SecKeyRef key = nullptr;
  OSStatus status = security::SecItemCopyMatching(query, &key);
  if (status != errSecSuccess) {
    if (error != nullptr) *error = KCError::withCode(status);
    return nullptr;
  }
  return adopting(key);
}
