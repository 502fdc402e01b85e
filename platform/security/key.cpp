// RSA keys on OpenSSL: creation, encodings, attributes, and storage of
// private keys as keychain key items.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/rsa.h>

#include <string>

#include "platform/security/internal.h"

namespace security {
namespace {

constexpr std::int64_t kMinimumBits = 1024;
constexpr std::int64_t kMaximumBits = 8192;

// The keychain attributes of a key that came from or went to the keychain
// (kSecAttrIsPermanent, kSecAttrApplicationTag, kSecAttrLabel) ride on the
// OpenSSL key itself, freed with it.
void freeAttributes(void*, void* attributes, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<Dictionary*>(attributes);
}

int attributesIndex() {
  static const int index =
      CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_EVP_PKEY, 0, nullptr, nullptr, nullptr, &freeAttributes);
  return index;
}

void attachAttributes(EVP_PKEY* key, const Dictionary& source) {
  auto* attributes = new Dictionary{{keychain::kSecAttrIsPermanent, true}};
  for (const auto* name : {&keychain::kSecAttrApplicationTag, &keychain::kSecAttrLabel}) {
    if (const auto* value = source.find(*name)) attributes->set(*name, *value);
  }
  if (EVP_PKEY_set_ex_data(key, attributesIndex(), attributes) != 1) delete attributes;
}

bool isPrivate(EVP_PKEY* key) {
  BIGNUM* exponent = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &exponent) != 1) return false;
  BN_clear_free(exponent);
  return true;
}

template <typename Encode>
std::optional<Data> encoded(EVP_PKEY* key, Encode encode) {
  unsigned char* der = nullptr;
  int length = encode(key, &der);
  if (length < 0) return std::nullopt;
  Data result(der, der + length);
  OPENSSL_clear_free(der, static_cast<std::size_t>(length));
  return result;
}

std::optional<Data> publicDER(EVP_PKEY* key) {
  return encoded(key, [](EVP_PKEY* k, unsigned char** out) { return i2d_PublicKey(k, out); });
}

std::optional<Data> privateDER(EVP_PKEY* key) {
  return encoded(key, [](EVP_PKEY* k, unsigned char** out) { return i2d_PrivateKey(k, out); });
}

SecKeyRef failed(SecError* error, OSStatus status, const std::string& description) {
  if (error != nullptr) *error = {status, description};
  return nullptr;
}

}  // namespace

Data applicationLabel(EVP_PKEY* key) {
  auto der = publicDER(key);
  if (!der) return {};
  Data digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_Digest(der->data(), der->size(), digest.data(), &length, EVP_sha1(), nullptr) != 1) return {};
  digest.resize(length);
  return digest;
}

std::size_t SecKeyGetBlockSize(SecKeyRef key) {
  countCall(__func__);
  int size = EVP_PKEY_get_size(key);
  return size > 0 ? static_cast<std::size_t>(size) : 0;
}

std::optional<Data> SecKeyCopyExternalRepresentation(SecKeyRef key) {
  countCall(__func__);
  return isPrivate(key) ? privateDER(key) : publicDER(key);
}

Dictionary SecKeyCopyAttributes(SecKeyRef key) {
  countCall(__func__);
  Dictionary attributes{
      {keychain::kSecAttrKeyClass,
       isPrivate(key) ? keychain::kSecAttrKeyClassPrivate : keychain::kSecAttrKeyClassPublic},
      {keychain::kSecAttrKeyType, keychain::kSecAttrKeyTypeRSA},
      {keychain::kSecAttrKeySizeInBits, static_cast<std::int64_t>(EVP_PKEY_get_bits(key))},
      {keychain::kSecAttrApplicationLabel, applicationLabel(key)}};
  if (auto* stored = static_cast<Dictionary*>(EVP_PKEY_get_ex_data(key, attributesIndex()))) {
    for (const auto& [name, value] : stored->entries()) attributes.set(name, value);
  }
  return attributes;
}

SecKeyRef SecKeyCopyPublicKey(SecKeyRef key) {
  countCall(__func__);
  auto der = publicDER(key);
  if (!der) return nullptr;
  const unsigned char* cursor = der->data();
  return d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der->size()));
}

SecKeyRef SecKeyCreateRandomKey(const Dictionary& parameters, const Dictionary& privateKeyAttributes,
                                SecError* error) {
  countCall(__func__);
  if (parameters.text(keychain::kSecAttrKeyType) != keychain::kSecAttrKeyTypeRSA)
    return failed(error, keychain::errSecParam, "Unsupported key type.");
  auto bits = parameters.integer(keychain::kSecAttrKeySizeInBits);
  if (!bits || *bits < kMinimumBits || *bits > kMaximumBits)
    return failed(error, keychain::errSecParam, "Unsupported RSA key size.");
  EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned int>(*bits));
  if (key == nullptr) return failed(error, keychain::errSecInternalComponent, "RSA key generation failed.");
  if (!privateKeyAttributes.boolean(keychain::kSecAttrIsPermanent).value_or(false)) return key;

  auto der = privateDER(key);
  Dictionary item{{keychain::kSecClass, keychain::kSecClassKey},
                  {keychain::kSecAttrKeyClass, keychain::kSecAttrKeyClassPrivate},
                  {keychain::kSecAttrKeyType, keychain::kSecAttrKeyTypeRSA},
                  {keychain::kSecAttrKeySizeInBits, *bits},
                  {keychain::kSecAttrApplicationLabel, applicationLabel(key)}};
  for (const auto* name : {&keychain::kSecAttrApplicationTag, &keychain::kSecAttrLabel}) {
    if (const auto* value = privateKeyAttributes.find(*name)) item.set(*name, *value);
  }
  if (der) item.set(keychain::kSecValueData, std::move(*der));
  OSStatus status = der ? keychain::SecItemAdd(item) : keychain::errSecInternalComponent;
  if (status != keychain::errSecSuccess) {
    EVP_PKEY_free(key);
    return failed(error, status, "Unable to store the key in the keychain (" + std::to_string(status) + ").");
  }
  item.remove(keychain::kSecValueData);
  attachAttributes(key, item);
  return key;
}

OSStatus SecItemCopyMatching(const Dictionary& query, SecKeyRef* key) {
  countCall(__func__);
  if (query.text(keychain::kSecClass) != keychain::kSecClassKey) return keychain::errSecParam;
  Dictionary lookup = query;
  lookup.remove(keychain::kSecReturnRef);
  lookup.set(keychain::kSecReturnAttributes, true);
  lookup.set(keychain::kSecReturnData, true);
  lookup.set(keychain::kSecMatchLimit, keychain::kSecMatchLimitOne);
  std::vector<Dictionary> found;
  if (OSStatus status = keychain::SecItemCopyMatching(lookup, &found)) return status;
  auto der = found.empty() ? std::nullopt : found.front().data(keychain::kSecValueData);
  if (!der) return keychain::errSecDecode;
  const unsigned char* cursor = der->data();
  EVP_PKEY* made = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der->size()));
  OPENSSL_cleanse(der->data(), der->size());
  if (made == nullptr) return keychain::errSecDecode;
  attachAttributes(made, found.front());
  *key = made;
  return keychain::errSecSuccess;
}

}  // namespace security
