// Reference counting of certificates, keys and identities, and the call
// counter.
#include <map>
#include <mutex>
#include <string>

#include "platform/security/internal.h"

namespace security {

SecCertificateRef CFRetain(SecCertificateRef certificate) {
  X509_up_ref(certificate);
  return certificate;
}

SecKeyRef CFRetain(SecKeyRef key) {
  EVP_PKEY_up_ref(key);
  return key;
}

SecIdentityRef CFRetain(SecIdentityRef identity) {
  ++identity->references;
  return identity;
}

void CFRelease(SecCertificateRef certificate) { X509_free(certificate); }

void CFRelease(SecKeyRef key) { EVP_PKEY_free(key); }

void CFRelease(SecIdentityRef identity) {
  if (--identity->references > 0) return;
  X509_free(identity->certificate);
  EVP_PKEY_free(identity->privateKey);
  delete identity;
}

namespace {

std::mutex countsMutex;
std::map<std::string, int, std::less<>>& counts() {
  static std::map<std::string, int, std::less<>> table;
  return table;
}

}  // namespace

void countCall(std::string_view function) {
  std::lock_guard lock(countsMutex);
  ++counts()[std::string(function)];
}

int callCount(std::string_view function) {
  std::lock_guard lock(countsMutex);
  auto it = counts().find(function);
  return it == counts().end() ? 0 : it->second;
}

}  // namespace security
