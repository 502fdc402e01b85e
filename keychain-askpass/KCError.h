// The keychain layer's failure report, in the shape of an NSError of the
// NSOSStatusErrorDomain: the keychain status as code, the operation's
// message as failure description and the status's text as failure reason.
// Lookups of certificates, identities and keys report domain and code only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/keychain/keychain.h"

inline const std::string NSOSStatusErrorDomain = "NSOSStatusErrorDomain";

struct KCError {
  std::string domain;
  std::int64_t code = 0;
  std::optional<std::string> localizedFailure;        // NSLocalizedFailureErrorKey
  std::optional<std::string> localizedFailureReason;  // NSLocalizedFailureReasonErrorKey

  // The error for a status; the reason is left out when the platform has no
  // text for the status.
  static KCError withStatus(keychain::OSStatus status, const std::string& failure) {
    return {NSOSStatusErrorDomain, static_cast<std::int64_t>(status), failure,
            keychain::SecCopyErrorMessageString(status)};
  }
  // The error of a lookup: domain and code only.
  static KCError withCode(keychain::OSStatus status) {
    return {NSOSStatusErrorDomain, static_cast<std::int64_t>(status), std::nullopt, std::nullopt};
  }
};
