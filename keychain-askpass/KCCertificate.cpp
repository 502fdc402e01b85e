#include "keychain-askpass/KCCertificate.h"

using namespace keychain;

namespace {

// The import failure's description, the summary put in as %@ puts it.
std::string importFailure(const std::optional<std::string>& summary) {
  return "Unable to import certificate \"" + summary.value_or("(null)") + "\" into the keychain.";
}

}  // namespace

KCCertificate::KCCertificate(security::SecCertificateRef adopted)
    : _certificate(adopted), _expirationDate(security::SecCertificateCopyNotValidAfter(adopted)) {}

std::shared_ptr<KCCertificate> KCCertificate::withSecCertificateRef(security::SecCertificateRef certificate) {
  if (certificate == nullptr) return nullptr;
  return std::shared_ptr<KCCertificate>(new KCCertificate(security::CFRetain(certificate)));
}

std::shared_ptr<KCCertificate> KCCertificate::withData(const Data& der) {
  security::SecCertificateRef certificate = security::SecCertificateCreateWithData(der);
  if (certificate == nullptr) return nullptr;
  return std::shared_ptr<KCCertificate>(new KCCertificate(certificate));
}

KCCertificate::~KCCertificate() { security::CFRelease(_certificate); }

Data KCCertificate::data() const { return security::SecCertificateCopyData(_certificate); }

std::optional<std::string> KCCertificate::subjectSummary() const {
  return security::SecCertificateCopySubjectSummary(_certificate);
}

std::optional<std::string> KCCertificate::commonName() const {
  std::optional<std::string> name;
  security::SecCertificateCopyCommonName(_certificate, &name);
  return name;
}

std::optional<std::vector<std::string>> KCCertificate::emailAddresses() const {
  std::optional<std::vector<std::string>> addresses;
  security::SecCertificateCopyEmailAddresses(_certificate, &addresses);
  return addresses;
}

Data KCCertificate::normalizedIssuerSequence() const {
  return security::SecCertificateCopyNormalizedIssuerSequence(_certificate);
}

Data KCCertificate::normalizedSubjectSequence() const {
  return security::SecCertificateCopyNormalizedSubjectSequence(_certificate);
}

Data KCCertificate::serialNumberData() const { return security::SecCertificateCopySerialNumberData(_certificate); }

std::shared_ptr<KCKey> KCCertificate::publicKey() {
  if (_publicKey) return _publicKey;
  security::SecKeyRef key = security::SecCertificateCopyKey(_certificate);
  if (key == nullptr) return nullptr;
  _publicKey = KCKey::withSecKeyRef(key);
  security::CFRelease(key);
  return _publicKey;
}

bool KCCertificate::addToDefaultKeychain(const std::vector<std::shared_ptr<KCCertificate>>& certificates,
                                         KCError* error) {
  if (certificates.empty()) return false;
  for (const auto& certificate : certificates) {
    if (!certificate) {
      if (error != nullptr) *error = KCError::withStatus(errSecParam, importFailure(std::nullopt));
      return false;
    }
    OSStatus status = security::SecCertificateAddToKeychain(certificate->_certificate);
    if (status == errSecSuccess || status == errSecDuplicateItem) continue;
    if (error != nullptr) *error = KCError::withStatus(status, importFailure(certificate->subjectSummary()));
    return false;
  }
  return true;
}
