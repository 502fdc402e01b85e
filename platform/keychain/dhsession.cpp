// Built on OpenSSL's big numbers and AES block functions, GLib's HMAC and
// the kernel's random numbers rather than on OpenSSL's EVP layer: loading
// EVP's providers costs more than all of this session's arithmetic, and
// ssh waits on the askpass program while it runs.
#include "platform/keychain/dhsession.h"

#include <algorithm>

// The AES block functions are deprecated in favour of EVP, for the cost
// given above; they remain part of OpenSSL 3.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <glib.h>
#include <openssl/aes.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <sys/random.h>

namespace keychain {
namespace {

constexpr std::size_t kPrimeBytes = 128;
constexpr std::size_t kBlock = 16;

template <auto free>
struct Freer {
  template <typename T>
  void operator()(T* object) const {
    free(object);
  }
};
using Bignum = std::unique_ptr<BIGNUM, Freer<BN_clear_free>>;
using BignumContext = std::unique_ptr<BN_CTX, Freer<BN_CTX_free>>;
using Hmac = std::unique_ptr<GHmac, Freer<g_hmac_unref>>;

const BIGNUM* prime() {
  static const BIGNUM* const value = BN_get_rfc2409_prime_1024(nullptr);
  return value;
}

// HMAC-SHA256 of data under key.
std::array<std::uint8_t, 32> hmacSha256(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* data,
                                        std::size_t length) {
  std::array<std::uint8_t, 32> digest{};
  Hmac hmac(g_hmac_new(G_CHECKSUM_SHA256, key, keyLength));
  g_hmac_update(hmac.get(), data, static_cast<gssize>(length));
  gsize digestLength = digest.size();
  g_hmac_get_digest(hmac.get(), digest.data(), &digestLength);
  return digest;
}

}  // namespace

struct DHSession::Key {
  Bignum secret;
};

std::unique_ptr<DHSession> DHSession::make() {
  std::array<std::uint8_t, kPrimeBytes> random{};
  if (prime() == nullptr || getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size()))
    return nullptr;
  Bignum secret(BN_secure_new());
  bool made = secret && BN_bin2bn(random.data(), static_cast<int>(random.size()), secret.get()) != nullptr;
  OPENSSL_cleanse(random.data(), random.size());
  // A private exponent in [1, p - 2].
  Bignum limit(BN_dup(prime()));
  Bignum generator(BN_new());
  Bignum publicNumber(BN_new());
  BignumContext context(BN_CTX_new());
  if (!made || !limit || !generator || !publicNumber || !context || !BN_sub_word(limit.get(), 2) ||
      !BN_mod(secret.get(), secret.get(), limit.get(), context.get()) || !BN_add_word(secret.get(), 1) ||
      !BN_set_word(generator.get(), 2) ||
      !BN_mod_exp_mont_consttime(publicNumber.get(), generator.get(), secret.get(), prime(), context.get(), nullptr))
    return nullptr;
  Data publicKey(static_cast<std::size_t>(BN_num_bytes(publicNumber.get())));
  BN_bn2bin(publicNumber.get(), publicKey.data());
  auto key = std::make_unique<Key>(Key{std::move(secret)});
  return std::unique_ptr<DHSession>(new DHSession(std::move(key), std::move(publicKey)));
}

DHSession::DHSession(std::unique_ptr<Key> key, Data publicKey) : key_(std::move(key)), public_(std::move(publicKey)) {}

DHSession::~DHSession() { OPENSSL_cleanse(aesKey_.data(), aesKey_.size()); }

bool DHSession::agree(const std::uint8_t* peer, std::size_t length) {
  Bignum peerNumber(BN_bin2bn(peer, static_cast<int>(length), nullptr));
  Bignum limit(BN_dup(prime()));
  Bignum shared(BN_secure_new());
  BignumContext context(BN_CTX_new());
  if (!peerNumber || !limit || !shared || !context || !BN_sub_word(limit.get(), 1)) return false;
  // Only 1 < peer < p - 1 is a key of the group worth agreeing with.
  if (BN_cmp(peerNumber.get(), BN_value_one()) <= 0 || BN_cmp(peerNumber.get(), limit.get()) >= 0) return false;
  if (!BN_mod_exp_mont_consttime(shared.get(), peerNumber.get(), key_->secret.get(), prime(), context.get(), nullptr))
    return false;
  // The agreed number is taken at the prime's full length, leading zero
  // bytes kept, as gnome-keyring takes it: one session in 256 would
  // otherwise get a different key.
  std::array<std::uint8_t, kPrimeBytes> ikm{};
  if (BN_bn2binpad(shared.get(), ikm.data(), static_cast<int>(ikm.size())) < 0) return false;

  // HKDF-SHA256 with no salt (a block of zeros) and no info; one block of
  // output holds the 16-byte key.
  std::array<std::uint8_t, 32> salt{};
  auto pseudoRandomKey = hmacSha256(salt.data(), salt.size(), ikm.data(), ikm.size());
  const std::uint8_t counter = 1;
  auto okm = hmacSha256(pseudoRandomKey.data(), pseudoRandomKey.size(), &counter, 1);
  std::copy(okm.begin(), okm.begin() + static_cast<std::ptrdiff_t>(aesKey_.size()), aesKey_.begin());
  OPENSSL_cleanse(ikm.data(), ikm.size());
  OPENSSL_cleanse(pseudoRandomKey.data(), pseudoRandomKey.size());
  OPENSSL_cleanse(okm.data(), okm.size());
  agreed_ = true;
  return true;
}

std::optional<Data> DHSession::decrypt(const std::uint8_t* iv, std::size_t ivLength, const std::uint8_t* ciphertext,
                                       std::size_t length) const {
  if (!agreed_ || ivLength != kBlock || length == 0 || length % kBlock != 0) return std::nullopt;
  AES_KEY key;
  if (AES_set_decrypt_key(aesKey_.data(), 128, &key) != 0) return std::nullopt;
  std::array<std::uint8_t, kBlock> chain{};
  std::copy(iv, iv + kBlock, chain.begin());
  Data plain(length);
  AES_cbc_encrypt(ciphertext, plain.data(), length, &key, chain.data(), AES_DECRYPT);
  OPENSSL_cleanse(&key, sizeof key);
  // PKCS #7: 1 to 16 bytes, each holding the count.
  std::uint8_t padding = plain.back();
  bool padded = padding >= 1 && padding <= kBlock;
  for (std::size_t i = 0; padded && i < padding; ++i) padded = plain[length - 1 - i] == padding;
  if (!padded) {
    wipe(plain);
    return std::nullopt;
  }
  Data secret(plain.begin(), plain.end() - padding);
  wipe(plain);
  return secret;
}

}  // namespace keychain
