// Built on libgcrypt, which libsecret loads into the process anyway, GLib's
// HMAC and the kernel's random numbers. Loading another crypto library
// (OpenSSL's libcrypto) would cost the askpass program more than all of
// this session's arithmetic, and ssh waits on it while it runs.
#include "platform/keychain/dhsession.h"

#include <gcrypt.h>
#include <glib.h>
#include <string.h>
#include <sys/random.h>

#include <algorithm>

namespace keychain {
namespace {

constexpr std::size_t kPrimeBytes = 128;
constexpr std::size_t kExponentBytes = 32;
constexpr std::size_t kBlock = 16;

// The 1024-bit MODP group of RFC 2409 (the Second Oakley Group), generator 2.
constexpr char kPrimeHex[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF";

struct MpiRelease {
  void operator()(gcry_mpi_t mpi) const { gcry_mpi_release(mpi); }
};
using Mpi = std::unique_ptr<std::remove_pointer_t<gcry_mpi_t>, MpiRelease>;
struct HmacUnref {
  void operator()(GHmac* hmac) const { g_hmac_unref(hmac); }
};
using Hmac = std::unique_ptr<GHmac, HmacUnref>;
struct CipherClose {
  void operator()(gcry_cipher_hd_t cipher) const { gcry_cipher_close(cipher); }
};
using Cipher = std::unique_ptr<std::remove_pointer_t<gcry_cipher_hd_t>, CipherClose>;

// libgcrypt must be initialised once before use. libsecret, if it comes
// later, sees that it is and keeps this set-up, in which libgcrypt's own
// "secure memory" (which nobody sets up then) is turned off, so that its
// secure allocations come from ordinary memory instead of failing. This
// process is not dumpable while it holds a secret, and every copy is wiped.
bool initialised() {
  static const bool done = [] {
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return true;
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
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

template <std::size_t N>
void wipeBytes(std::array<std::uint8_t, N>& bytes) {
  explicit_bzero(bytes.data(), bytes.size());
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
  Mpi secret;
};

std::unique_ptr<DHSession> DHSession::make() {
  if (!initialised() || prime() == nullptr) return nullptr;
  // A 256-bit private exponent: twice the strength of the group, as is
  // usual for such groups, and a quarter of the work of a full-size one.
  std::array<std::uint8_t, kExponentBytes> random{};
  if (getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) return nullptr;
  Mpi secret = fromBytes(random.data(), random.size());
  wipeBytes(random);
  if (!secret) return nullptr;
  gcry_mpi_add_ui(secret.get(), secret.get(), 1);  // never 0

  Mpi generator(gcry_mpi_set_ui(nullptr, 2));
  Mpi publicNumber(gcry_mpi_new(0));
  gcry_mpi_powm(publicNumber.get(), generator.get(), secret.get(), prime());
  Data publicKey(kPrimeBytes);
  std::size_t written = 0;
  if (gcry_mpi_print(GCRYMPI_FMT_USG, publicKey.data(), publicKey.size(), &written, publicNumber.get()) != 0)
    return nullptr;
  publicKey.resize(written);
  auto key = std::make_unique<Key>(Key{std::move(secret)});
  return std::unique_ptr<DHSession>(new DHSession(std::move(key), std::move(publicKey)));
}

DHSession::DHSession(std::unique_ptr<Key> key, Data publicKey) : key_(std::move(key)), public_(std::move(publicKey)) {}

DHSession::~DHSession() { wipeBytes(aesKey_); }

bool DHSession::agree(const std::uint8_t* peer, std::size_t length) {
  Mpi peerNumber = fromBytes(peer, length);
  if (!peerNumber) return false;
  // Only 1 < peer < p - 1 is a key of the group worth agreeing with.
  Mpi limit(gcry_mpi_new(0));
  gcry_mpi_sub_ui(limit.get(), prime(), 1);
  if (gcry_mpi_cmp_ui(peerNumber.get(), 1) <= 0 || gcry_mpi_cmp(peerNumber.get(), limit.get()) >= 0) return false;
  Mpi shared(gcry_mpi_new(0));
  gcry_mpi_powm(shared.get(), peerNumber.get(), key_->secret.get(), prime());

  // The agreed number is taken at the prime's full length, leading zero
  // bytes kept, as gnome-keyring takes it: one session in 256 would
  // otherwise get a different key.
  std::array<std::uint8_t, kPrimeBytes> ikm{};
  std::size_t written = 0;
  if (gcry_mpi_print(GCRYMPI_FMT_USG, ikm.data(), ikm.size(), &written, shared.get()) != 0) return false;
  std::move_backward(ikm.begin(), ikm.begin() + static_cast<std::ptrdiff_t>(written), ikm.end());
  std::fill(ikm.begin(), ikm.end() - static_cast<std::ptrdiff_t>(written), 0);

  // HKDF-SHA256 with no salt (a block of zeros) and no info; one block of
  // output holds the 16-byte key.
  std::array<std::uint8_t, 32> salt{};
  auto pseudoRandomKey = hmacSha256(salt.data(), salt.size(), ikm.data(), ikm.size());
  const std::uint8_t counter = 1;
  auto okm = hmacSha256(pseudoRandomKey.data(), pseudoRandomKey.size(), &counter, 1);
  std::copy(okm.begin(), okm.begin() + static_cast<std::ptrdiff_t>(aesKey_.size()), aesKey_.begin());
  wipeBytes(ikm);
  wipeBytes(pseudoRandomKey);
  wipeBytes(okm);
  agreed_ = true;
  return true;
}

std::optional<Data> DHSession::decrypt(const std::uint8_t* iv, std::size_t ivLength, const std::uint8_t* ciphertext,
                                       std::size_t length) const {
  if (!agreed_ || ivLength != kBlock || length == 0 || length % kBlock != 0) return std::nullopt;
  gcry_cipher_hd_t raw = nullptr;
  if (gcry_cipher_open(&raw, GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CBC, 0) != 0) return std::nullopt;
  Cipher cipher(raw);
  Data plain(length);
  if (gcry_cipher_setkey(raw, aesKey_.data(), aesKey_.size()) != 0 || gcry_cipher_setiv(raw, iv, kBlock) != 0 ||
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
