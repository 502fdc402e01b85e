// Certificates: X.509 parsing and names on OpenSSL, storage as keychain
// certificate items.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>

#include "platform/security/internal.h"

namespace security {
namespace {

template <auto free>
struct Deleter {
  template <typename T>
  void operator()(T* object) const {
    free(object);
  }
};
using Name = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using GeneralNames = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free>>;

void freeOpenSSL(void* pointer) { OPENSSL_free(pointer); }

// An ASN.1 string as UTF-8; none when it does not convert.
std::optional<std::string> utf8Of(const ASN1_STRING* value) {
  unsigned char* text = nullptr;
  int length = ASN1_STRING_to_UTF8(&text, value);
  if (length < 0) return std::nullopt;
  std::string result(reinterpret_cast<char*>(text), static_cast<std::size_t>(length));
  freeOpenSSL(text);
  return result;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Trimmed, inner white space folded to one space, ASCII upper-cased.
std::string normalizedText(const std::string& text) {
  std::string result;
  bool pendingSpace = false;
  for (char c : text) {
    if (isSpace(c)) {
      pendingSpace = !result.empty();
      continue;
    }
    if (pendingSpace) result += ' ';
    pendingSpace = false;
    result += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return result;
}

bool isStringType(int type) {
  switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_T61STRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_VISIBLESTRING:
      return true;
    default:
      return false;
  }
}

Data derOf(const X509_NAME* name) {
  unsigned char* der = nullptr;
  int length = i2d_X509_NAME(name, &der);
  if (length < 0) return {};
  Data result(der, der + length);
  freeOpenSSL(der);
  return result;
}

// The name with each string value normalised, RDN by RDN.
Data normalizedName(const X509_NAME* name) {
  Name normalized(X509_NAME_new());
  if (!normalized) return {};
  int previousSet = -1;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    int set = X509_NAME_ENTRY_set(entry);
    // -1 joins the entry to the RDN before it, 0 starts a new RDN.
    int joining = i > 0 && set == previousSet ? -1 : 0;
    previousSet = set;
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
    auto text = isStringType(ASN1_STRING_type(value)) ? utf8Of(value) : std::nullopt;
    if (!text) {
      X509_NAME_add_entry(normalized.get(), entry, -1, joining);
      continue;
    }
    std::string folded = normalizedText(*text);
    X509_NAME_add_entry_by_OBJ(normalized.get(), X509_NAME_ENTRY_get_object(entry), V_ASN1_UTF8STRING,
                               reinterpret_cast<const unsigned char*>(folded.data()), static_cast<int>(folded.size()),
                               -1, joining);
  }
  return derOf(normalized.get());
}

// The values of the name's entries of one kind, in order.
std::vector<std::string> entriesOf(const X509_NAME* name, int nid) {
  std::vector<std::string> values;
  for (int i = X509_NAME_get_index_by_NID(name, nid, -1); i >= 0; i = X509_NAME_get_index_by_NID(name, nid, i)) {
    if (auto text = utf8Of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)))) values.push_back(*text);
  }
  return values;
}

std::vector<std::string> emailAddressesOf(X509* certificate) {
  std::vector<std::string> addresses = entriesOf(X509_get_subject_name(certificate), NID_pkcs9_emailAddress);
  GeneralNames names(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return addresses;
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (name->type != GEN_EMAIL) continue;
    if (auto text = utf8Of(name->d.rfc822Name)) addresses.push_back(*text);
  }
  return addresses;
}

std::string oneLine(const X509_NAME* name) {
  Bio bio(BIO_new(BIO_s_mem()));
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char* text = nullptr;
  long length = BIO_get_mem_data(bio.get(), &text);
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

SecCertificateRef SecCertificateCreateWithData(const Data& der) {
  countCall(__func__);
  const unsigned char* cursor = der.data();
  X509* certificate = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
  if (certificate == nullptr) return nullptr;
  // Trailing bytes mean the data is not one certificate.
  if (cursor != der.data() + der.size()) {
    X509_free(certificate);
    return nullptr;
  }
  return certificate;
}

Data SecCertificateCopyData(SecCertificateRef certificate) {
  countCall(__func__);
  unsigned char* der = nullptr;
  int length = i2d_X509(certificate, &der);
  if (length < 0) return {};
  Data result(der, der + length);
  freeOpenSSL(der);
  return result;
}

std::optional<std::string> SecCertificateCopySubjectSummary(SecCertificateRef certificate) {
  countCall(__func__);
  const X509_NAME* subject = X509_get_subject_name(certificate);
  auto commonNames = entriesOf(subject, NID_commonName);
  if (!commonNames.empty()) return commonNames.back();
  auto addresses = emailAddressesOf(certificate);
  if (!addresses.empty()) return addresses.front();
  if (X509_NAME_entry_count(subject) == 0) return std::nullopt;
  return oneLine(subject);
}

OSStatus SecCertificateCopyCommonName(SecCertificateRef certificate, std::optional<std::string>* commonName) {
  countCall(__func__);
  auto commonNames = entriesOf(X509_get_subject_name(certificate), NID_commonName);
  if (commonNames.empty()) {
    *commonName = std::nullopt;
    return keychain::errSecItemNotFound;
  }
  *commonName = commonNames.back();
  return keychain::errSecSuccess;
}

OSStatus SecCertificateCopyEmailAddresses(SecCertificateRef certificate,
                                          std::optional<std::vector<std::string>>* emailAddresses) {
  countCall(__func__);
  *emailAddresses = emailAddressesOf(certificate);
  return keychain::errSecSuccess;
}

Data SecCertificateCopyNormalizedIssuerSequence(SecCertificateRef certificate) {
  countCall(__func__);
  return normalizedName(X509_get_issuer_name(certificate));
}

Data SecCertificateCopyNormalizedSubjectSequence(SecCertificateRef certificate) {
  countCall(__func__);
  return normalizedName(X509_get_subject_name(certificate));
}

Data SecCertificateCopySerialNumberData(SecCertificateRef certificate) {
  countCall(__func__);
  unsigned char* der = nullptr;
  int total = i2d_ASN1_INTEGER(X509_get0_serialNumber(certificate), &der);
  if (total < 0) return {};
  const unsigned char* content = der;
  long length = 0;
  int tag = 0;
  int objectClass = 0;
  Data result;
  if (!(ASN1_get_object(&content, &length, &tag, &objectClass, total) & 0x80))
    result.assign(content, content + length);
  freeOpenSSL(der);
  return result;
}

SecKeyRef SecCertificateCopyKey(SecCertificateRef certificate) {
  countCall(__func__);
  return X509_get_pubkey(certificate);
}

std::optional<std::chrono::system_clock::time_point> SecCertificateCopyNotValidAfter(
    SecCertificateRef certificate) {
  countCall(__func__);
  std::tm time{};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &time) != 1) return std::nullopt;
  return std::chrono::system_clock::from_time_t(timegm(&time));
}

OSStatus SecCertificateAddToKeychain(SecCertificateRef certificate) {
  countCall(__func__);
  Dictionary attributes{{keychain::kSecClass, keychain::kSecClassCertificate},
                        {keychain::kSecAttrSerialNumber, SecCertificateCopySerialNumberData(certificate)},
                        {keychain::kSecAttrIssuer, SecCertificateCopyNormalizedIssuerSequence(certificate)}};
  attributes.set(keychain::kSecAttrLabel, SecCertificateCopySubjectSummary(certificate));
  attributes.set(keychain::kSecValueData, SecCertificateCopyData(certificate));
  return keychain::SecItemAdd(attributes);
}

OSStatus SecItemCopyMatching(const Dictionary& query, SecCertificateRef* certificate) {
  countCall(__func__);
  if (query.text(keychain::kSecClass) != keychain::kSecClassCertificate) return keychain::errSecParam;
  Dictionary lookup = query;
  lookup.remove(keychain::kSecReturnRef);
  lookup.set(keychain::kSecReturnData, true);
  lookup.set(keychain::kSecMatchLimit, keychain::kSecMatchLimitOne);
  std::vector<Dictionary> found;
  if (OSStatus status = keychain::SecItemCopyMatching(lookup, &found)) return status;
  auto der = found.empty() ? std::nullopt : found.front().data(keychain::kSecValueData);
  SecCertificateRef made = der ? SecCertificateCreateWithData(*der) : nullptr;
  if (made == nullptr) return keychain::errSecDecode;
  *certificate = made;
  return keychain::errSecSuccess;
}

}  // namespace security
