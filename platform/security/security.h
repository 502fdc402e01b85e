// Certificates, identities and keys: the Security framework calls that the
// keychain layer's certificate and key wrappers make, on OpenSSL 3, with
// storage in the keychain store (platform/keychain).
//
// Contract:
// - A certificate is an OpenSSL X509, a key an OpenSSL EVP_PKEY (RSA only),
//   both reference-counted by OpenSSL; an identity is a reference-counted
//   pair of a certificate and its private key. Functions named Create or
//   Copy hand the caller a reference of its own (+1), which the caller gives
//   back with CFRelease exactly once; CFRetain takes another. Other
//   functions borrow their arguments. A null reference is never valid.
// - Certificates are stored as kSecClassCertificate items: kSecAttrSerialNumber
//   (the serial number's DER content bytes), kSecAttrIssuer (the normalised
//   issuer sequence), kSecAttrLabel (the subject summary) and the DER as
//   kSecValueData. Private keys are kSecClassKey items: kSecAttrKeyType
//   kSecAttrKeyTypeRSA, kSecAttrKeyClass private, kSecAttrApplicationLabel
//   (SHA-1 of the public key's PKCS#1 encoding, as on the host),
//   kSecAttrApplicationTag and kSecAttrLabel when given, and the PKCS#1
//   private key DER as kSecValueData.
// - An identity exists for a certificate when a stored private key has the
//   application label of the certificate's public key and matches it.
// - Normalised names: the name re-encoded with every string value as a
//   UTF8String, its leading and trailing white space removed, inner runs of
//   white space folded to one space and ASCII letters upper-cased, so names
//   that differ only in case, spacing or string type compare equal.
// - Statuses are the keychain's (keychain::errSec...). Nothing prompts.
// - callCount(name) counts the calls of the function of that name made so
//   far in the process (tests check that cached values are not fetched
//   again).
// - Same threading as the store: one thread uses these at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/keychain/keychain.h"

struct x509_st;
struct evp_pkey_st;

namespace security {

using keychain::Data;
using keychain::Dictionary;
using keychain::OSStatus;

using SecCertificateRef = x509_st*;
using SecKeyRef = evp_pkey_st*;
struct SecIdentity;
using SecIdentityRef = SecIdentity*;

// The platform's error object of a failed key operation.
struct SecError {
  OSStatus code = 0;
  std::string description;
};

SecCertificateRef CFRetain(SecCertificateRef certificate);
SecKeyRef CFRetain(SecKeyRef key);
SecIdentityRef CFRetain(SecIdentityRef identity);
void CFRelease(SecCertificateRef certificate);
void CFRelease(SecKeyRef key);
void CFRelease(SecIdentityRef identity);

// Null when the bytes are not exactly one DER certificate.
SecCertificateRef SecCertificateCreateWithData(const Data& der);
Data SecCertificateCopyData(SecCertificateRef certificate);
// The common name, else the first e-mail address, else the whole subject
// as one line; none for an empty subject.
std::optional<std::string> SecCertificateCopySubjectSummary(SecCertificateRef certificate);
// The subject's most specific common name; errSecItemNotFound when it has none.
OSStatus SecCertificateCopyCommonName(SecCertificateRef certificate, std::optional<std::string>* commonName);
// E-mail addresses of the subject and of the subject alternative names, in
// that order; an empty list when there are none.
OSStatus SecCertificateCopyEmailAddresses(SecCertificateRef certificate,
                                          std::optional<std::vector<std::string>>* emailAddresses);
Data SecCertificateCopyNormalizedIssuerSequence(SecCertificateRef certificate);
Data SecCertificateCopyNormalizedSubjectSequence(SecCertificateRef certificate);
// The serial number's DER content bytes (two's complement, big-endian).
Data SecCertificateCopySerialNumberData(SecCertificateRef certificate);
// The public key; null when OpenSSL cannot decode it.
SecKeyRef SecCertificateCopyKey(SecCertificateRef certificate);
std::optional<std::chrono::system_clock::time_point> SecCertificateCopyNotValidAfter(SecCertificateRef certificate);
// Stores the certificate in the default store; errSecDuplicateItem when a
// certificate with its serial number and issuer is there already.
OSStatus SecCertificateAddToKeychain(SecCertificateRef certificate);

// The identity of a stored certificate and its stored private key;
// errSecItemNotFound when no stored private key belongs to it.
OSStatus SecIdentityCreateWithCertificate(SecCertificateRef certificate, SecIdentityRef* identity);
OSStatus SecIdentityCopyCertificate(SecIdentityRef identity, SecCertificateRef* certificate);
OSStatus SecIdentityCopyPrivateKey(SecIdentityRef identity, SecKeyRef* privateKey);

// The RSA modulus length in bytes.
std::size_t SecKeyGetBlockSize(SecKeyRef key);
// PKCS#1 RSAPublicKey or RSAPrivateKey DER; none when it cannot be encoded.
std::optional<Data> SecKeyCopyExternalRepresentation(SecKeyRef key);
// kSecAttrKeyClass, kSecAttrKeyType, kSecAttrKeySizeInBits,
// kSecAttrApplicationLabel, and for a key from the keychain
// kSecAttrIsPermanent, kSecAttrApplicationTag and kSecAttrLabel.
Dictionary SecKeyCopyAttributes(SecKeyRef key);
// A new key holding only the public half.
SecKeyRef SecKeyCopyPublicKey(SecKeyRef key);
// parameters: kSecAttrKeyType (kSecAttrKeyTypeRSA) and kSecAttrKeySizeInBits
// (1024 to 8192 bits). privateKeyAttributes stands for the nested
// kSecPrivateKeyAttrs dictionary of the host (kSecAttrApplicationTag,
// kSecAttrLabel, kSecAttrIsPermanent); a permanent key is stored. Null, with
// *error set when given, on failure.
SecKeyRef SecKeyCreateRandomKey(const Dictionary& parameters, const Dictionary& privateKeyAttributes,
                                SecError* error);

// SecItemCopyMatching with kSecReturnRef for one certificate or one key:
// the query's class must be kSecClassCertificate or kSecClassKey.
OSStatus SecItemCopyMatching(const Dictionary& query, SecCertificateRef* certificate);
OSStatus SecItemCopyMatching(const Dictionary& query, SecKeyRef* key);

int callCount(std::string_view function);

}  // namespace security
