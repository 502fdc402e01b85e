// Certificates, identities and keys of the keychain layer against the
// Secret Service of the test session; a failing store only where the
// keyring cannot be made to fail on demand.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <unistd.h>

#include "keychain-askpass/KCCertificate.h"
#include "keychain-askpass/KCIdentity.h"
#include "keychain-askpass/KCKey.h"
#include "keychain-askpass/KCKeychain.h"
#include "tests/platform/security/make_certificate.h"

namespace {

using keychain::Data;
using testcert::Spec;

// A serial number of this run, so items of earlier runs in the same
// keyring never answer.
Data freshSerial() {
  Data serial = testcert::randomBytes(12);
  serial[0] = 0x7f;
  return serial;
}

std::string freshTag(const std::string& name) { return "com.korvaneapp.test." + name + "." + testcert::randomHex(6); }

Spec aliceSpec(Data serial) {
  return {{{"CN", "Alice Example", V_ASN1_UTF8STRING}, {"O", "Korvane", V_ASN1_UTF8STRING}},
          std::move(serial),
          {"alice@example.org"},
          std::chrono::hours(24 * 90)};
}

void expectCodeOnly(const KCError& error, keychain::OSStatus code) {
  EXPECT_EQ(error.domain, "NSOSStatusErrorDomain");
  EXPECT_EQ(error.code, code);
  EXPECT_EQ(error.localizedFailure, std::nullopt);
  EXPECT_EQ(error.localizedFailureReason, std::nullopt);
}

class KCCertificates : public ::testing::Test {
 protected:
  void TearDown() override { keychain::setDefaultStore(nullptr); }
  testcert::Key key = testcert::newRSAKey();
};

TEST_F(KCCertificates, AccessorsReadTheCertificate) {
  Data serial = freshSerial();
  Data der = testcert::makeCertificate(aliceSpec(serial), key.get());
  auto before = std::chrono::system_clock::now();
  auto certificate = KCCertificate::withData(der);
  ASSERT_TRUE(certificate);
  EXPECT_EQ(certificate->data(), der);
  EXPECT_EQ(certificate->subjectSummary(), "Alice Example");
  EXPECT_EQ(certificate->commonName(), "Alice Example");
  EXPECT_EQ(certificate->emailAddresses(), std::vector<std::string>{"alice@example.org"});
  EXPECT_EQ(certificate->serialNumberData(), serial);
  EXPECT_EQ(certificate->normalizedIssuerSequence(), certificate->normalizedSubjectSequence());
  EXPECT_FALSE(certificate->normalizedIssuerSequence().empty());

  // Valid for 90 days from when the test made it (to the second).
  ASSERT_TRUE(certificate->expirationDate());
  auto lifetime = *certificate->expirationDate() - before;
  EXPECT_GT(lifetime, std::chrono::hours(24 * 90) - std::chrono::seconds(5));
  EXPECT_LT(lifetime, std::chrono::hours(24 * 90) + std::chrono::seconds(5));

  auto publicKey = certificate->publicKey();
  ASSERT_TRUE(publicKey);
  EXPECT_EQ(publicKey, certificate->publicKey());
  EXPECT_EQ(publicKey->externalRepresentation(), testcert::publicKeyDER(key.get()));
  EXPECT_EQ(publicKey->blockSize(), 128u);

  // Wrapping the held reference gives a second owner of the same certificate.
  auto again = KCCertificate::withSecCertificateRef(certificate->secCertificateRef());
  ASSERT_TRUE(again);
  certificate.reset();
  EXPECT_EQ(again->data(), der);
}

TEST_F(KCCertificates, GarbageBytesAndNullReferencesMakeNoObject) {
  EXPECT_FALSE(KCCertificate::withData({}));
  EXPECT_FALSE(KCCertificate::withData({'n', 'o', 't', ' ', 'D', 'E', 'R'}));
  Data der = testcert::makeCertificate(aliceSpec(freshSerial()), key.get());
  EXPECT_FALSE(KCCertificate::withData(Data(der.begin(), der.begin() + static_cast<long>(der.size() / 2))));
  EXPECT_FALSE(KCCertificate::withSecCertificateRef(nullptr));
  EXPECT_FALSE(KCKey::withSecKeyRef(nullptr));
  KCError error;
  EXPECT_FALSE(KCIdentity::withCertificate(nullptr, &error));
  expectCodeOnly(error, keychain::errSecParam);
}

TEST_F(KCCertificates, ImportThenLookUpBySerialNumberAndIssuer) {
  Data serial = freshSerial();
  auto certificate = KCCertificate::withData(testcert::makeCertificate(aliceSpec(serial), key.get()));
  ASSERT_TRUE(certificate);
  KCError error{"untouched", 1, std::nullopt, std::nullopt};
  EXPECT_TRUE(KCCertificate::addToDefaultKeychain({certificate}, &error));
  // Already stored: still a success, and no error value.
  EXPECT_TRUE(KCCertificate::addToDefaultKeychain({certificate}, &error));
  EXPECT_EQ(error.domain, "untouched");

  auto found = KCKeychain::certificateWithSerialNumber(serial, certificate->normalizedIssuerSequence(), &error);
  ASSERT_TRUE(found);
  EXPECT_NE(found, certificate);
  EXPECT_EQ(found->data(), certificate->data());

  Data wrongSerial = serial;
  wrongSerial.back() ^= 0x01;
  EXPECT_FALSE(KCKeychain::certificateWithSerialNumber(wrongSerial, certificate->normalizedIssuerSequence(), &error));
  expectCodeOnly(error, keychain::errSecItemNotFound);
  // Same serial, another issuer.
  EXPECT_FALSE(KCKeychain::certificateWithSerialNumber(serial, certificate->serialNumberData(), nullptr));
}

TEST_F(KCCertificates, ImportStopsAtTheFirstFailure) {
  auto store = std::make_shared<keychain::MemoryStore>();
  store->fail(keychain::errSecInteractionNotAllowed);
  keychain::setDefaultStore(store);
  auto first = KCCertificate::withData(testcert::makeCertificate(aliceSpec(freshSerial()), key.get()));
  Spec bob = aliceSpec(freshSerial());
  bob.subject = {{"CN", "Bob Example", V_ASN1_UTF8STRING}};
  auto second = KCCertificate::withData(testcert::makeCertificate(bob, key.get()));
  ASSERT_TRUE(first && second);

  KCError error;
  EXPECT_FALSE(KCCertificate::addToDefaultKeychain({first, second}, &error));
  ASSERT_EQ(store->calls().size(), 1u);
  EXPECT_EQ(store->calls()[0].query.data(keychain::kSecAttrSerialNumber), first->serialNumberData());
  EXPECT_EQ(error.domain, "NSOSStatusErrorDomain");
  EXPECT_EQ(error.code, keychain::errSecInteractionNotAllowed);
  EXPECT_EQ(error.localizedFailure, "Unable to import certificate \"Alice Example\" into the keychain.");
  EXPECT_EQ(error.localizedFailureReason, "User interaction is not allowed.");
}

TEST_F(KCCertificates, EmptyImportIsFalseWithoutAnError) {
  auto store = std::make_shared<keychain::MemoryStore>();
  keychain::setDefaultStore(store);
  KCError error{"untouched", 1, std::nullopt, std::nullopt};
  EXPECT_FALSE(KCCertificate::addToDefaultKeychain({}, &error));
  EXPECT_EQ(error.domain, "untouched");
  EXPECT_TRUE(store->calls().empty());
}

TEST_F(KCCertificates, IdentityOfACertificateWithAStoredKey) {
  KCError error;
  auto privateKey = KCKey::createRandomRSAKeyWithSize(2048, freshTag("identity"), "identity key", &error);
  ASSERT_TRUE(privateKey) << error.code;
  Data der = testcert::makeCertificate(aliceSpec(freshSerial()), privateKey->secKeyRef());
  auto certificate = KCCertificate::withData(der);
  ASSERT_TRUE(certificate);

  auto identity = KCIdentity::withCertificate(certificate, &error);
  ASSERT_TRUE(identity) << error.code;
  int copies = security::callCount("SecIdentityCopyPrivateKey");
  auto key = identity->privateKey();
  ASSERT_TRUE(key);
  EXPECT_EQ(identity->privateKey(), key);
  EXPECT_EQ(security::callCount("SecIdentityCopyPrivateKey"), copies + 1);
  EXPECT_EQ(key->externalRepresentation(), privateKey->externalRepresentation());

  int certificateCopies = security::callCount("SecIdentityCopyCertificate");
  auto identityCertificate = identity->certificate();
  ASSERT_TRUE(identityCertificate);
  EXPECT_EQ(identity->certificate(), identityCertificate);
  EXPECT_EQ(security::callCount("SecIdentityCopyCertificate"), certificateCopies + 1);
  EXPECT_EQ(identityCertificate->data(), der);

  // The wrappers outlive the identity that made them.
  identity.reset();
  EXPECT_EQ(key->blockSize(), 256u);
  EXPECT_EQ(identityCertificate->subjectSummary(), "Alice Example");
}

TEST_F(KCCertificates, NoIdentityWithoutAStoredKey) {
  auto certificate = KCCertificate::withData(testcert::makeCertificate(aliceSpec(freshSerial()), key.get()));
  ASSERT_TRUE(certificate);
  ASSERT_TRUE(KCCertificate::addToDefaultKeychain({certificate}, nullptr));
  KCError error;
  EXPECT_FALSE(KCIdentity::withCertificate(certificate, &error));
  expectCodeOnly(error, keychain::errSecItemNotFound);
}

TEST_F(KCCertificates, RSAKeyIsFoundAgainByTagAndLabel) {
  std::string tag = freshTag("rsa");
  KCError error;
  auto created = KCKey::createRandomRSAKeyWithSize(2048, tag, "deploy key", &error);
  ASSERT_TRUE(created) << error.code;
  EXPECT_EQ(created->blockSize(), 256u);

  auto found = KCKey::RSAKeyWithApplicationTag(tag, "deploy key", &error);
  ASSERT_TRUE(found) << error.code;
  EXPECT_EQ(found->blockSize(), 256u);
  EXPECT_EQ(found->externalRepresentation(), created->externalRepresentation());
  auto attributes = found->attributes();
  EXPECT_EQ(attributes.text(keychain::kSecAttrKeyClass), keychain::kSecAttrKeyClassPrivate);
  EXPECT_EQ(attributes.integer(keychain::kSecAttrKeySizeInBits), 2048);
  EXPECT_EQ(attributes.data(keychain::kSecAttrApplicationTag), Data(tag.begin(), tag.end()));
  EXPECT_EQ(attributes.text(keychain::kSecAttrLabel), "deploy key");

  int copies = security::callCount("SecKeyCopyPublicKey");
  auto publicKey = found->publicKey();
  ASSERT_TRUE(publicKey);
  EXPECT_EQ(found->publicKey(), publicKey);
  EXPECT_EQ(security::callCount("SecKeyCopyPublicKey"), copies + 1);
  EXPECT_EQ(publicKey->attributes().text(keychain::kSecAttrKeyClass), keychain::kSecAttrKeyClassPublic);
  EXPECT_EQ(publicKey->blockSize(), 256u);

  EXPECT_FALSE(KCKey::RSAKeyWithApplicationTag(tag, "another label", &error));
  expectCodeOnly(error, keychain::errSecItemNotFound);
  EXPECT_FALSE(KCKey::RSAKeyWithApplicationTag(freshTag("missing"), "deploy key", nullptr));
}

TEST_F(KCCertificates, FailedKeyCreationHandsBackThePlatformError) {
  KCError error;
  EXPECT_FALSE(KCKey::createRandomRSAKeyWithSize(100, freshTag("small"), "small", &error));
  EXPECT_EQ(error.domain, "NSOSStatusErrorDomain");
  EXPECT_EQ(error.code, keychain::errSecParam);
  EXPECT_TRUE(error.localizedFailure && !error.localizedFailure->empty());

  // A store that refuses the key: no key comes back.
  auto store = std::make_shared<keychain::MemoryStore>();
  store->fail(keychain::errSecInteractionNotAllowed);
  keychain::setDefaultStore(store);
  EXPECT_FALSE(KCKey::createRandomRSAKeyWithSize(1024, freshTag("refused"), "refused", &error));
  EXPECT_EQ(error.code, keychain::errSecInteractionNotAllowed);
}

}  // namespace
