// The client half of the Secret Service's encrypted transfer,
// "dh-ietf1024-sha256-aes128-cbc-pkcs7": a Diffie-Hellman key pair on the
// 1024-bit MODP group of RFC 2409, the agreed secret run through HKDF-SHA256
// (no salt, no info) into an AES-128 key, and secrets sent as AES-128-CBC
// with PKCS #7 padding and the IV as the secret's parameters.
//
// Private to the Secret Service store, which uses it for its reads: making
// the key pair here lets the store open the session beside its search
// instead of after libsecret's own service set-up. Single-threaded, like the
// store. The private exponent and the agreed key are held in libgcrypt's
// secure memory (locked, wiped when freed) and go with the session.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/keychain/keychain.h"

namespace keychain {

inline constexpr char kEncryptedAlgorithm[] = "dh-ietf1024-sha256-aes128-cbc-pkcs7";

class DHSession {
 public:
  // A fresh key pair; none when the crypto library fails.
  static std::unique_ptr<DHSession> make();
  ~DHSession();
  DHSession(const DHSession&) = delete;
  DHSession& operator=(const DHSession&) = delete;

  // Our public key, big-endian: the input of OpenSession.
  const Data& publicKey() const { return public_; }
  // Agrees on the AES key with the service's public key (the output of
  // OpenSession); false when that key is not acceptable.
  bool agree(const std::uint8_t* peer, std::size_t length);
  // One secret sent by the service; none when it does not decrypt.
  std::optional<Data> decrypt(const std::uint8_t* iv, std::size_t ivLength, const std::uint8_t* ciphertext,
                              std::size_t length) const;

 private:
  struct Key;
  explicit DHSession(std::unique_ptr<Key> key, Data publicKey);

  std::unique_ptr<Key> key_;
  Data public_;
  bool agreed_ = false;
};

}  // namespace keychain
