// KCKeychain: class-level operations over the keychain's items. It builds
// the search queries for generic and internet passwords, adds or updates a
// password, removes items and fetches one or all matching items.
//
// Contract:
// - The query builders make no keychain call; the keys are set in a fixed
//   order and an absent argument leaves its key out. Queries come back as
//   values: an operation that extends one works on its own copy.
// - From a URL the operations read scheme, host and path; a URL without a
//   path gives the empty path, a default-constructed URL ("no URL") gives
//   none of the three.
// - Failures come back as false, none or an empty list, and through the
//   optional error out-place as a KCError (no error value is made when the
//   caller passes none). The layer logs nothing, never retries and keeps no
//   state between calls. The keychain calls go to keychain::defaultStore().
// - certificateWithSerialNumber finds a stored certificate by its serial
//   number's bytes and its normalised issuer; a failed lookup gives none and
//   an error value of domain and code only.
// - Single-threaded use, like the store.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "keychain-askpass/KCCertificate.h"
#include "keychain-askpass/KCError.h"
#include "keychain-askpass/KCKeychainItem.h"
#include "platform/keychain/keychain.h"
#include "platform/url/url.h"

using KCQuery = keychain::Dictionary;
using KCText = std::optional<std::string>;

class KCKeychain {
 public:
  KCKeychain() = delete;

  static KCQuery searchQueryForGenericPassword(const KCText& service, const KCText& account);
  static bool addOrUpdateGenericItem(const std::optional<KCQuery>& query, const KCText& service, const KCText& account,
                                     const KCText& password, KCError* error);

  static KCQuery searchQueryForInternetPassword(const url::URL& url, const KCText& account, const KCText& accessGroup);
  // The internet query without a path, so that an item for any path on the
  // server matches.
  static KCQuery searchQueryForSSH(const url::URL& url, const KCText& account, const KCText& accessGroup);
  // The internet query, without a path when the URL's path is absent or "".
  static KCQuery searchQueryForRealm(const url::URL& url, const KCText& account, const KCText& accessGroup);
  static bool addOrUpdateInternetItem(const std::optional<KCQuery>& query, const url::URL& url,
                                      const KCText& account, const KCText& password, const KCText& accessGroup,
                                      KCError* error);

  // Nothing to remove counts as success.
  static bool removeItemsForQuery(const KCQuery& query, KCError* error);
  static std::optional<KCKeychainItem> keychainItemForQuery(const KCQuery& query, KCError* error);
  // No match gives an empty list and no error.
  static std::vector<KCKeychainItem> keychainItemsForQuery(const KCQuery& query, KCError* error);

  static std::shared_ptr<KCCertificate> certificateWithSerialNumber(const keychain::Data& serialNumber,
                                                                    const keychain::Data& issuer, KCError* error);
};
