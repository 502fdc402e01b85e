// Test certificates made with OpenSSL: self-signed X.509 with the subject,
// serial number, e-mail addresses and validity a test asks for.
#pragma once

#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testcert {

using Bytes = std::vector<std::uint8_t>;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

// One subject entry: field name ("CN", "O", "emailAddress"), value, ASN.1
// string type (V_ASN1_UTF8STRING, V_ASN1_PRINTABLESTRING...), and whether
// it joins the RDN before it.
struct Entry {
  std::string field;
  std::string value;
  int type;
  bool joinsPrevious = false;
};

struct Spec {
  std::vector<Entry> subject;
  Bytes serial;                             // big-endian magnitude
  std::vector<std::string> emailAddresses;  // subject alternative names
  std::chrono::seconds lifetime = std::chrono::hours(24 * 30);
};

Key newRSAKey(unsigned bits = 1024);
// Signed with key (self-signed: the issuer is the subject). DER bytes.
Bytes makeCertificate(const Spec& spec, EVP_PKEY* key);
// Fresh random bytes, for serial numbers and tags unique to one test run.
Bytes randomBytes(std::size_t count);
std::string randomHex(std::size_t count);
// The PKCS#1 public key of a key.
Bytes publicKeyDER(EVP_PKEY* key);

}  // namespace testcert
