// The certificate and key calls on OpenSSL: names, serial numbers, summaries
// and the items they leave in the Secret Service of the test session.
#include "platform/security/security.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include "tests/platform/security/make_certificate.h"
#include "tests/support/support.h"

namespace {

using namespace security;
using testcert::Entry;
using testcert::Spec;

// Owns a platform certificate for one test.
struct Certificate {
  explicit Certificate(const Data& der) : ref(SecCertificateCreateWithData(der)) {}
  ~Certificate() {
    if (ref != nullptr) CFRelease(ref);
  }
  SecCertificateRef ref;
};

class Security : public ::testing::Test {
 protected:
  testcert::Key key = testcert::newRSAKey();

  Data make(std::vector<Entry> subject, Data serial = {0x01}, std::vector<std::string> emails = {}) {
    return testcert::makeCertificate({std::move(subject), std::move(serial), std::move(emails)}, key.get());
  }
};

TEST_F(Security, NormalisedNamesIgnoreCaseSpacingAndStringType) {
  Certificate spaced(make({{"CN", "  Alice   Example ", V_ASN1_UTF8STRING}, {"O", "korvane", V_ASN1_UTF8STRING}}));
  Certificate plain(make({{"CN", "ALICE EXAMPLE", V_ASN1_PRINTABLESTRING}, {"O", "Korvane", V_ASN1_PRINTABLESTRING}}));
  Certificate other(make({{"CN", "Bob Example", V_ASN1_UTF8STRING}, {"O", "Korvane", V_ASN1_UTF8STRING}}));
  Certificate joined(make({{"CN", "Alice Example", V_ASN1_UTF8STRING}, {"O", "Korvane", V_ASN1_UTF8STRING, true}}));
  ASSERT_TRUE(spaced.ref && plain.ref && other.ref && joined.ref);

  Data normalized = SecCertificateCopyNormalizedSubjectSequence(spaced.ref);
  ASSERT_FALSE(normalized.empty());
  EXPECT_EQ(normalized[0], 0x30);  // a DER SEQUENCE, as stored for kSecAttrIssuer
  EXPECT_EQ(normalized, SecCertificateCopyNormalizedSubjectSequence(plain.ref));
  EXPECT_EQ(normalized, SecCertificateCopyNormalizedIssuerSequence(plain.ref));
  EXPECT_NE(normalized, SecCertificateCopyNormalizedSubjectSequence(other.ref));
  // Two attributes in one RDN are a different name from two RDNs.
  EXPECT_NE(normalized, SecCertificateCopyNormalizedSubjectSequence(joined.ref));
}

TEST_F(Security, SerialNumberIsTheIntegersContentBytes) {
  Certificate highBit(make({{"CN", "x", V_ASN1_UTF8STRING}}, {0x80, 0x01}));
  Certificate small(make({{"CN", "x", V_ASN1_UTF8STRING}}, {0x00, 0x00, 0x2a}));
  // A positive number whose top bit is set keeps its leading zero byte.
  EXPECT_EQ(SecCertificateCopySerialNumberData(highBit.ref), (Data{0x00, 0x80, 0x01}));
  EXPECT_EQ(SecCertificateCopySerialNumberData(small.ref), (Data{0x2a}));
}

TEST_F(Security, SubjectSummaryFallsBackFromCommonNameToEmailToTheWholeName) {
  Certificate named(make({{"CN", "First", V_ASN1_UTF8STRING}, {"CN", "Most Specific", V_ASN1_UTF8STRING}}));
  Certificate mailed(make({{"O", "Korvane", V_ASN1_UTF8STRING}}, {0x01}, {"a@example.org", "b@example.org"}));
  Certificate organisation(make({{"O", "Korvane", V_ASN1_UTF8STRING}, {"OU", "Tools", V_ASN1_UTF8STRING}}));
  Certificate empty(make({}));
  EXPECT_EQ(SecCertificateCopySubjectSummary(named.ref), "Most Specific");
  EXPECT_EQ(SecCertificateCopySubjectSummary(mailed.ref), "a@example.org");
  EXPECT_EQ(SecCertificateCopySubjectSummary(organisation.ref), "O = Korvane, OU = Tools");
  EXPECT_EQ(SecCertificateCopySubjectSummary(empty.ref), std::nullopt);

  std::optional<std::string> commonName = "stale";
  EXPECT_EQ(SecCertificateCopyCommonName(organisation.ref, &commonName), keychain::errSecItemNotFound);
  EXPECT_EQ(commonName, std::nullopt);
}

TEST_F(Security, EmailAddressesComeFromTheSubjectAndTheAlternativeNames) {
  Certificate both(make({{"CN", "x", V_ASN1_UTF8STRING}, {"emailAddress", "subject@example.org", V_ASN1_IA5STRING}},
                        {0x01}, {"alt@example.org"}));
  Certificate none(make({{"CN", "x", V_ASN1_UTF8STRING}}));
  std::optional<std::vector<std::string>> addresses;
  EXPECT_EQ(SecCertificateCopyEmailAddresses(both.ref, &addresses), keychain::errSecSuccess);
  EXPECT_EQ(addresses, (std::vector<std::string>{"subject@example.org", "alt@example.org"}));
  SecCertificateCopyEmailAddresses(none.ref, &addresses);
  EXPECT_EQ(addresses, std::vector<std::string>{});
}

TEST_F(Security, OnlyExactlyOneDERCertificateIsACertificate) {
  Data der = make({{"CN", "x", V_ASN1_UTF8STRING}});
  Data trailing = der;
  trailing.push_back(0);
  Data truncated(der.begin(), der.end() - 1);
  for (const Data& bytes : {Data{}, Data{0x30, 0x03, 0x02, 0x01, 0x01}, trailing, truncated}) {
    Certificate certificate(bytes);
    EXPECT_EQ(certificate.ref, nullptr) << bytes.size();
  }
}

TEST_F(Security, CertificateItemIsFoundBySchemaSerialAndIssuer) {
  Data serial = testcert::randomBytes(8);
  serial[0] = 0x11;
  Certificate certificate(make({{"CN", "Stored One", V_ASN1_UTF8STRING}}, serial));
  ASSERT_EQ(SecCertificateAddToKeychain(certificate.ref), keychain::errSecSuccess);
  EXPECT_EQ(SecCertificateAddToKeychain(certificate.ref), keychain::errSecDuplicateItem);

  auto hex = [](const Data& data) {
    std::string text;
    for (auto byte : data) text += "0123456789abcdef"[byte >> 4], text += "0123456789abcdef"[byte & 0xf];
    return text;
  };
  auto found = testsupport::run({"secret-tool", "search", "--all", "xdg:schema", "com.korvaneapp.keychain.Certificate",
                                 "serial-number", hex(serial), "issuer",
                                 hex(SecCertificateCopyNormalizedIssuerSequence(certificate.ref))});
  EXPECT_EQ(found.status, 0) << found.err;
  EXPECT_NE(found.out.find("label = Stored One"), std::string::npos) << found.out << found.err;
}

TEST_F(Security, KeysOutsideTheSupportedSizesAreRefused) {
  SecError error;
  Dictionary parameters{{keychain::kSecAttrKeyType, keychain::kSecAttrKeyTypeRSA},
                        {keychain::kSecAttrKeySizeInBits, std::int64_t{512}}};
  EXPECT_EQ(SecKeyCreateRandomKey(parameters, {}, &error), nullptr);
  EXPECT_EQ(error.code, keychain::errSecParam);
  parameters.set(keychain::kSecAttrKeySizeInBits, std::int64_t{2048});
  parameters.set(keychain::kSecAttrKeyType, std::string("73"));  // an elliptic-curve key
  EXPECT_EQ(SecKeyCreateRandomKey(parameters, {}, &error), nullptr);
  EXPECT_EQ(error.code, keychain::errSecParam);
}

TEST_F(Security, KeyEncodingsAndAttributes) {
  SecKeyRef key = CFRetain(this->key.get());
  SecKeyRef publicKey = SecKeyCopyPublicKey(key);
  ASSERT_NE(publicKey, nullptr);
  EXPECT_EQ(SecKeyCopyExternalRepresentation(publicKey), testcert::publicKeyDER(key));
  auto privateDER = SecKeyCopyExternalRepresentation(key);
  ASSERT_TRUE(privateDER);
  EXPECT_NE(privateDER, SecKeyCopyExternalRepresentation(publicKey));
  EXPECT_EQ(SecKeyGetBlockSize(key), 128u);
  auto attributes = SecKeyCopyAttributes(publicKey);
  EXPECT_EQ(attributes.text(keychain::kSecAttrKeyClass), keychain::kSecAttrKeyClassPublic);
  EXPECT_EQ(attributes.integer(keychain::kSecAttrKeySizeInBits), 1024);
  EXPECT_EQ(attributes.data(keychain::kSecAttrApplicationLabel)->size(), 20u);
  EXPECT_EQ(attributes.boolean(keychain::kSecAttrIsPermanent), std::nullopt);
  EXPECT_EQ(SecKeyCopyAttributes(key).text(keychain::kSecAttrKeyClass), keychain::kSecAttrKeyClassPrivate);
  CFRelease(publicKey);
  CFRelease(key);
}

}  // namespace
