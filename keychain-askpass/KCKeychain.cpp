#include "keychain-askpass/KCKeychain.h"

using namespace keychain;

namespace {

const std::string kAddFailed = "Unable to add password to the keychain.";
const std::string kDeleteFailed = "Unable to delete the password from the keychain.";
const std::string kFindOneFailed = "Unable to find password to the keychain.";
const std::string kFindAllFailed = "Unable to find passwords in the keychain.";

void report(KCError* error, OSStatus status, const std::string& failure) {
  if (error != nullptr) *error = KCError::withStatus(status, failure);
}

std::optional<Value> textValue(const KCText& text) {
  if (!text) return std::nullopt;
  return Value(*text);
}

std::optional<Value> passwordValue(const KCText& password) {
  if (!password) return std::nullopt;
  return Value(Data(password->begin(), password->end()));
}

// Update the items that the query finds; when there is none, add the
// attribute set as a new item of the class.
bool updateOrAdd(const KCQuery& query, Dictionary attributes, const std::string& secClass, KCError* error) {
  OSStatus status = SecItemUpdate(query, attributes);
  if (status == errSecItemNotFound) {
    attributes.set(kSecClass, secClass);
    status = SecItemAdd(attributes);
  }
  if (status == errSecSuccess) return true;
  report(error, status, kAddFailed);
  return false;
}

KCQuery withResultKeys(const KCQuery& query, const std::string& limit) {
  KCQuery copy = query;
  copy.set(kSecReturnAttributes, true);
  copy.set(kSecReturnData, true);
  copy.set(kSecMatchLimit, limit);
  return copy;
}

}  // namespace

KCQuery KCKeychain::searchQueryForGenericPassword(const KCText& service, const KCText& account) {
  KCQuery query;
  query.set(kSecAttrSynchronizable, kSecAttrSynchronizableAny);
  query.set(kSecClass, kSecClassGenericPassword);
  query.set(kSecAttrService, textValue(service));
  query.set(kSecAttrAccount, textValue(account));
  return query;
}

bool KCKeychain::addOrUpdateGenericItem(const std::optional<KCQuery>& query, const KCText& service,
                                        const KCText& account, const KCText& password, KCError* error) {
  KCQuery search = query ? *query : searchQueryForGenericPassword(service, account);
  Dictionary attributes;
  attributes.set(kSecAttrService, textValue(service));
  attributes.set(kSecAttrAccount, textValue(account));
  attributes.set(kSecValueData, passwordValue(password));
  return updateOrAdd(search, std::move(attributes), kSecClassGenericPassword, error);
}

KCQuery KCKeychain::searchQueryForInternetPassword(const url::URL& url, const KCText& account,
                                                   const KCText& accessGroup) {
  KCQuery query;
  query.set(kSecAttrSynchronizable, kSecAttrSynchronizableAny);
  query.set(kSecClass, kSecClassInternetPassword);
  query.set(kSecAttrProtocol, textValue(url.scheme));
  query.set(kSecAttrServer, textValue(url.host));
  query.set(kSecAttrPath, textValue(url.path));
  query.set(kSecAttrAccount, textValue(account));
  query.set(kSecAttrAccessGroup, textValue(accessGroup));
  return query;
}

KCQuery KCKeychain::searchQueryForSSH(const url::URL& url, const KCText& account, const KCText& accessGroup) {
  KCQuery query = searchQueryForInternetPassword(url, account, accessGroup);
  query.remove(kSecAttrPath);
  return query;
}

KCQuery KCKeychain::searchQueryForRealm(const url::URL& url, const KCText& account, const KCText& accessGroup) {
  KCQuery query = searchQueryForInternetPassword(url, account, accessGroup);
  if (!url.path || url.path->empty()) query.remove(kSecAttrPath);
  return query;
}

bool KCKeychain::addOrUpdateInternetItem(const std::optional<KCQuery>& query, const url::URL& url,
                                         const KCText& account, const KCText& password, const KCText& accessGroup,
                                         KCError* error) {
  KCQuery search = query ? *query : searchQueryForInternetPassword(url, account, accessGroup);
  Dictionary attributes;
  attributes.set(kSecAttrAccessGroup, textValue(accessGroup));
  if (accessGroup) {
    attributes.set(kSecUseDataProtectionKeychain, true);
    attributes.set(kSecAttrSynchronizable, true);
  }
  attributes.set(kSecAttrProtocol, textValue(url.scheme));
  attributes.set(kSecAttrServer, textValue(url.host));
  attributes.set(kSecAttrPath, textValue(url.path));
  attributes.set(kSecAttrAccount, textValue(account));
  attributes.set(kSecValueData, passwordValue(password));
  return updateOrAdd(search, std::move(attributes), kSecClassInternetPassword, error);
}

bool KCKeychain::removeItemsForQuery(const KCQuery& query, KCError* error) {
  OSStatus status = SecItemDelete(query);
  if (status == errSecSuccess || status == errSecItemNotFound) return true;
  report(error, status, kDeleteFailed);
  return false;
}

std::optional<KCKeychainItem> KCKeychain::keychainItemForQuery(const KCQuery& query, KCError* error) {
  std::vector<Dictionary> result;
  OSStatus status = SecItemCopyMatching(withResultKeys(query, kSecMatchLimitOne), &result);
  if (status != errSecSuccess || result.empty()) {
    report(error, status == errSecSuccess ? errSecItemNotFound : status, kFindOneFailed);
    return std::nullopt;
  }
  return KCKeychainItem(result.front());
}

std::vector<KCKeychainItem> KCKeychain::keychainItemsForQuery(const KCQuery& query, KCError* error) {
  std::vector<Dictionary> result;
  OSStatus status = SecItemCopyMatching(withResultKeys(query, kSecMatchLimitAll), &result);
  if (status == errSecItemNotFound) return {};
  if (status != errSecSuccess) {
    report(error, status, kFindAllFailed);
    return {};
  }
  std::vector<KCKeychainItem> items;
  items.reserve(result.size());
  for (const auto& dictionary : result) items.emplace_back(dictionary);
  return items;
}
