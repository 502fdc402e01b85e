// Built on libgcrypt, which libsecret loads into the process anyway, and the
// kernel's random numbers. Loading another crypto library (OpenSSL's
// libcrypto) would cost the askpass program more than all of this session's
// arithmetic, and ssh waits on it while it runs.
//
// Every value a key can be learnt from (the private exponent, the agreed
// number, the HKDF keys, the AES key and its schedule) lives in libgcrypt's
// secure memory, which is locked and wiped when freed; the public values
// and the ciphertext live anywhere.
#include "platform/keychain/dhsession.h"

#include <gcrypt.h>
#include <string.h>
#include <sys/random.h>

#include <algorithm>

namespace keychain {
namespace {

constexpr std::size_t kPrimeBytes = 128;
constexpr std::size_t kExponentBytes = 32;
constexpr std::size_t kDigestBytes = 32;
constexpr std::size_t kBlock = 16;
// libgcrypt's secure pool: a few DH sessions' worth, for ours and libsecret's.
constexpr std::size_t kSecurePoolBytes = 32768;

// The 1024-bit MODP group of RFC 2409 (the Second Oakley Group), generator 2.
constexpr char kPrimeHex[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF";

struct MpiRelease {
  void operator()(gcry_mpi_t mpi) const { gcry_mpi_release(mpi); }
};
using Mpi = std::unique_ptr<std::remove_pointer_t<gcry_mpi_t>, MpiRelease>;
struct MdClose {
  void operator()(gcry_md_hd_t md) const { gcry_md_close(md); }
};
using Md = std::unique_ptr<std::remove_pointer_t<gcry_md_hd_t>, MdClose>;
struct CipherClose {
  void operator()(gcry_cipher_hd_t cipher) const { gcry_cipher_close(cipher); }
};
using Cipher = std::unique_ptr<std::remove_pointer_t<gcry_cipher_hd_t>, CipherClose>;

// A value in libgcrypt's secure memory. Wiped here too before it is freed:
// should another part of the process have set libgcrypt up without a
// secure pool, the memory would be ordinary and freed as it is.
template <typename T>
struct SecureFree {
  void operator()(T* value) const {
    explicit_bzero(value, sizeof(T));
    gcry_free(value);
  }
};
template <typename T>
using Secure = std::unique_ptr<T, SecureFree<T>>;

template <typename T>
Secure<T> makeSecure() {
  return Secure<T>(static_cast<T*>(gcry_calloc_secure(1, sizeof(T))));
}

// libgcrypt is set up once per process, by whoever comes first; libsecret
// keeps a set-up it finds done. Its secure allocations (ours, and those of
// libsecret's own sessions) must then come from a locked pool, so the
// set-up makes one. The pool grows should it run out, rather than end the
// process. A pool that cannot be locked (a low RLIMIT_MEMLOCK; libgcrypt
// then reports an error, taken as a warning here) is still used and wiped;
// libgcrypt's warning about it is kept off ssh's terminal.
bool initialised() {
  static const bool done = [] {
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return true;
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
    gcry_control(GCRYCTL_DISABLE_SECMEM_WARN);
    gcry_control(GCRYCTL_AUTO_EXPAND_SECMEM, static_cast<unsigned>(kSecurePoolBytes));
    gcry_control(GCRYCTL_INIT_SECMEM, static_cast<int>(kSecurePoolBytes), 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return done;
}

gcry_mpi_t prime() {
  static gcry_mpi_t const value = [] {
    gcry_mpi_t mpi = nullptr;
    return gcry_mpi_scan(&mpi, GCRYMPI_FMT_HEX, kPrimeHex, 0, nullptr) == 0 ? mpi : nullptr;
  }();
  return value;
}

Mpi fromBytes(const std::uint8_t* bytes, std::size_t length) {
  gcry_mpi_t mpi = nullptr;
  if (gcry_mpi_scan(&mpi, GCRYMPI_FMT_USG, bytes, length, nullptr) != 0) return nullptr;
  return Mpi(mpi);
}

// HMAC-SHA256 of data under key, into out. The context, which holds the
// key, is in secure memory and wiped when closed.
bool hmacSha256(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* data, std::size_t length,
                std::uint8_t (&out)[kDigestBytes]) {
  gcry_md_hd_t raw = nullptr;
  if (gcry_md_open(&raw, GCRY_MD_SHA256, GCRY_MD_FLAG_HMAC | GCRY_MD_FLAG_SECURE) != 0) return false;
  Md md(raw);
  if (gcry_md_setkey(raw, key, keyLength) != 0) return false;
  gcry_md_write(raw, data, length);
  const unsigned char* digest = gcry_md_read(raw, GCRY_MD_SHA256);
  if (digest == nullptr) return false;
  std::copy(digest, digest + kDigestBytes, out);
  return true;
}

struct AesKey {
  std::uint8_t bytes[kBlock];
};

// The agreement's intermediate values.
struct Derivation {
  std::uint8_t random[kExponentBytes];
  std::uint8_t agreed[kPrimeBytes];
  std::uint8_t pseudoRandomKey[kDigestBytes];
  std::uint8_t output[kDigestBytes];
};

}  // namespace

struct DHSession::Key {
  Mpi secret;
  Secure<AesKey> aes;
};

std::unique_ptr<DHSession> DHSession::make() {
  if (!initialised() || prime() == nullptr) return nullptr;
  auto work = makeSecure<Derivation>();
  auto aes = makeSecure<AesKey>();
  if (!work || !aes) return nullptr;
  // A 256-bit private exponent: twice the strength of the group, as is
  // usual for such groups, and a quarter of the work of a full-size one.
  if (getrandom(work->random, sizeof work->random, 0) != static_cast<ssize_t>(sizeof work->random)) return nullptr;
  Mpi secret = fromBytes(work->random, sizeof work->random);
  if (!secret) return nullptr;
  gcry_mpi_set_flag(secret.get(), GCRYMPI_FLAG_SECURE);  // moves it into secure memory, wiping the old copy
  gcry_mpi_add_ui(secret.get(), secret.get(), 1);  // never 0

  Mpi generator(gcry_mpi_set_ui(nullptr, 2));
  Mpi publicNumber(gcry_mpi_new(0));
  gcry_mpi_powm(publicNumber.get(), generator.get(), secret.get(), prime());
  Data publicKey(kPrimeBytes);
  std::size_t written = 0;
  if (gcry_mpi_print(GCRYMPI_FMT_USG, publicKey.data(), publicKey.size(), &written, publicNumber.get()) != 0)
    return nullptr;
  publicKey.resize(written);
  auto key = std::make_unique<Key>(Key{std::move(secret), std::move(aes)});
  return std::unique_ptr<DHSession>(new DHSession(std::move(key), std::move(publicKey)));
}

DHSession::DHSession(std::unique_ptr<Key> key, Data publicKey) : key_(std::move(key)), public_(std::move(publicKey)) {}

DHSession::~DHSession() = default;

bool DHSession::agree(const std::uint8_t* peer, std::size_t length) {
  Mpi peerNumber = fromBytes(peer, length);
  if (!peerNumber) return false;
  // Only 1 < peer < p - 1 is a key of the group worth agreeing with.
  Mpi limit(gcry_mpi_new(0));
  gcry_mpi_sub_ui(limit.get(), prime(), 1);
  if (gcry_mpi_cmp_ui(peerNumber.get(), 1) <= 0 || gcry_mpi_cmp(peerNumber.get(), limit.get()) >= 0) return false;
  auto work = makeSecure<Derivation>();
  if (!work) return false;
  Mpi shared(gcry_mpi_snew(0));
  gcry_mpi_powm(shared.get(), peerNumber.get(), key_->secret.get(), prime());

  // The agreed number is taken at the prime's full length, leading zero
  // bytes kept, as gnome-keyring takes it: one session in 256 would
  // otherwise get a different key.
  auto& agreed = work->agreed;
  std::size_t written = 0;
  if (gcry_mpi_print(GCRYMPI_FMT_USG, agreed, sizeof agreed, &written, shared.get()) != 0) return false;
  std::move_backward(agreed, agreed + written, agreed + sizeof agreed);
  std::fill(agreed, agreed + sizeof agreed - written, 0);

  // HKDF-SHA256 with no salt (a block of zeros) and no info; one block of
  // output holds the 16-byte key.
  const std::uint8_t salt[kDigestBytes] = {};
  const std::uint8_t counter = 1;
  if (!hmacSha256(salt, sizeof salt, agreed, sizeof agreed, work->pseudoRandomKey) ||
      !hmacSha256(work->pseudoRandomKey, sizeof work->pseudoRandomKey, &counter, 1, work->output))
    return false;
  std::copy(work->output, work->output + kBlock, key_->aes->bytes);
  agreed_ = true;
  return true;
}

std::optional<Data> DHSession::decrypt(const std::uint8_t* iv, std::size_t ivLength, const std::uint8_t* ciphertext,
                                       std::size_t length) const {
  if (!agreed_ || ivLength != kBlock || length == 0 || length % kBlock != 0) return std::nullopt;
  gcry_cipher_hd_t raw = nullptr;
  // The key schedule, in secure memory; closing wipes it.
  if (gcry_cipher_open(&raw, GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CBC, GCRY_CIPHER_SECURE) != 0) return std::nullopt;
  Cipher cipher(raw);
  Data plain(length);
  if (gcry_cipher_setkey(raw, key_->aes->bytes, kBlock) != 0 || gcry_cipher_setiv(raw, iv, kBlock) != 0 ||
      gcry_cipher_decrypt(raw, plain.data(), plain.size(), ciphertext, length) != 0)
    return std::nullopt;
  // PKCS #7: 1 to 16 bytes, each holding the count.
  std::size_t padding = plain.back();
  bool padded = padding >= 1 && padding <= kBlock;
  for (std::size_t i = 0; padded && i < padding; ++i) padded = plain[length - 1 - i] == padding;
  if (!padded) {
    wipe(plain);
    return std::nullopt;
  }
  Data secret(plain.begin(), plain.end() - static_cast<std::ptrdiff_t>(padding));
  wipe(plain);
  return secret;
}

}  // namespace keychain
