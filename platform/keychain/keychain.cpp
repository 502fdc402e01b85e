#include "platform/keychain/keychain.h"

#include <string.h>

#include <algorithm>
#include <array>
#include <map>
#include <mutex>

namespace keychain {

void wipe(Data& secret) {
  if (secret.capacity() != 0) explicit_bzero(secret.data(), secret.capacity());
}

void wipe(std::string& secret) { explicit_bzero(secret.data(), secret.capacity()); }

namespace {

void wipeValue(Value& value) {
  if (auto* data = std::get_if<Data>(&value)) wipe(*data);
  if (auto* text = std::get_if<std::string>(&value)) wipe(*text);
}

}  // namespace

Dictionary::Dictionary(std::initializer_list<std::pair<std::string, Value>> entries) {
  for (const auto& [key, value] : entries) set(key, value);
}

Dictionary::~Dictionary() {
  for (auto& entry : entries_) {
    if (entry.first == kSecValueData) wipeValue(entry.second);
  }
}

void Dictionary::set(const std::string& key, std::optional<Value> value) {
  if (!value) {
    remove(key);
    return;
  }
  for (auto& entry : entries_) {
    if (entry.first == key) {
      if (key == kSecValueData) wipeValue(entry.second);
      entry.second = std::move(*value);
      return;
    }
  }
  entries_.emplace_back(key, std::move(*value));
}

void Dictionary::remove(const std::string& key) {
  for (auto& entry : entries_) {
    if (entry.first == key && key == kSecValueData) wipeValue(entry.second);
  }
  std::erase_if(entries_, [&](const auto& entry) { return entry.first == key; });
}

const Value* Dictionary::find(const std::string& key) const {
  for (const auto& entry : entries_) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

std::optional<std::string> Dictionary::text(const std::string& key) const {
  const Value* value = find(key);
  if (value == nullptr || !std::holds_alternative<std::string>(*value)) return std::nullopt;
  return std::get<std::string>(*value);
}

std::optional<Data> Dictionary::data(const std::string& key) const {
  const Value* value = find(key);
  if (value == nullptr || !std::holds_alternative<Data>(*value)) return std::nullopt;
  return std::get<Data>(*value);
}

std::optional<bool> Dictionary::boolean(const std::string& key) const {
  const Value* value = find(key);
  if (value == nullptr || !std::holds_alternative<bool>(*value)) return std::nullopt;
  return std::get<bool>(*value);
}

std::optional<std::int64_t> Dictionary::integer(const std::string& key) const {
  const Value* value = find(key);
  if (value == nullptr || !std::holds_alternative<std::int64_t>(*value)) return std::nullopt;
  return std::get<std::int64_t>(*value);
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> result;
  for (const auto& entry : entries_) result.push_back(entry.first);
  return result;
}

namespace {

// Attribute keys that select items; the others steer the call.
const std::array<const std::string*, 15> kMatchedKeys = {
    &kSecClass,           &kSecAttrAccessGroup,     &kSecAttrLabel,          &kSecAttrService,
    &kSecAttrAccount,     &kSecAttrProtocol,        &kSecAttrServer,         &kSecAttrPath,
    &kSecAttrSerialNumber, &kSecAttrIssuer,         &kSecAttrApplicationTag, &kSecAttrApplicationLabel,
    &kSecAttrKeyType,     &kSecAttrKeyClass,        &kSecAttrKeySizeInBits};
// The attributes that make an item unique, besides its class and whether
// it is synchronizable.
const std::array<const std::string*, 12> kPrimaryKeys = {
    &kSecAttrAccessGroup,  &kSecAttrService, &kSecAttrAccount,        &kSecAttrProtocol,
    &kSecAttrServer,       &kSecAttrPath,    &kSecAttrSerialNumber,   &kSecAttrIssuer,
    &kSecAttrApplicationTag, &kSecAttrApplicationLabel, &kSecAttrKeyType, &kSecAttrKeyClass};

bool isSynchronizable(const Dictionary& item) { return item.boolean(kSecAttrSynchronizable).value_or(false); }

bool sameValue(const Dictionary& a, const Dictionary& b, const std::string& key) {
  const Value* x = a.find(key);
  const Value* y = b.find(key);
  if (x == nullptr || y == nullptr) return x == y;
  return *x == *y;
}

bool isDuplicate(const Dictionary& item, const Dictionary& candidate) {
  if (!sameValue(item, candidate, kSecClass)) return false;
  if (isSynchronizable(item) != isSynchronizable(candidate)) return false;
  return std::all_of(kPrimaryKeys.begin(), kPrimaryKeys.end(),
                     [&](const std::string* key) { return sameValue(item, candidate, *key); });
}

// What an item keeps of an attribute set: everything that is not a call flag.
Dictionary storedAttributes(const Dictionary& attributes) {
  Dictionary item;
  for (const auto& [key, value] : attributes.entries()) {
    if (key == kSecUseDataProtectionKeychain || key == kSecReturnAttributes || key == kSecReturnData ||
        key == kSecReturnRef || key == kSecMatchLimit || key == kSecAttrIsPermanent)
      continue;
    item.set(key, value);
  }
  return item;
}

std::mutex defaultStoreMutex;
std::shared_ptr<Store>& defaultStoreSlot() {
  static std::shared_ptr<Store> store;
  return store;
}

}  // namespace

bool itemMatches(const Dictionary& item, const Dictionary& query) {
  for (const std::string* key : kMatchedKeys) {
    const Value* wanted = query.find(*key);
    if (wanted == nullptr) continue;
    const Value* have = item.find(*key);
    if (have == nullptr || *have != *wanted) return false;
  }
  if (query.text(kSecAttrSynchronizable) == kSecAttrSynchronizableAny) return true;
  return isSynchronizable(item) == query.boolean(kSecAttrSynchronizable).value_or(false);
}

OSStatus MemoryStore::copyMatching(const Dictionary& query, std::vector<Dictionary>* result) {
  calls_.push_back({"copyMatching", query, {}});
  if (failure_ != errSecSuccess) return failure_;
  if (!query.text(kSecClass)) return errSecParam;
  bool all = query.text(kSecMatchLimit) == kSecMatchLimitAll;
  bool withData = query.boolean(kSecReturnData).value_or(false);
  std::vector<Dictionary> found;
  for (const auto& item : items_) {
    if (!itemMatches(item, query)) continue;
    Dictionary copy = item;
    if (!withData) copy.remove(kSecValueData);
    found.push_back(std::move(copy));
    if (!all) break;
  }
  if (found.empty()) return errSecItemNotFound;
  if (result != nullptr) *result = std::move(found);
  return errSecSuccess;
}

OSStatus MemoryStore::add(const Dictionary& attributes) {
  calls_.push_back({"add", attributes, {}});
  if (failure_ != errSecSuccess) return failure_;
  if (!attributes.text(kSecClass)) return errSecParam;
  Dictionary item = storedAttributes(attributes);
  for (const auto& existing : items_) {
    if (isDuplicate(existing, item)) return errSecDuplicateItem;
  }
  items_.push_back(std::move(item));
  return errSecSuccess;
}

OSStatus MemoryStore::update(const Dictionary& query, const Dictionary& attributes) {
  calls_.push_back({"update", query, attributes});
  if (failure_ != errSecSuccess) return failure_;
  if (!query.text(kSecClass)) return errSecParam;
  bool any = false;
  Dictionary changes = storedAttributes(attributes);
  for (auto& item : items_) {
    if (!itemMatches(item, query)) continue;
    for (const auto& [key, value] : changes.entries()) item.set(key, value);
    any = true;
  }
  return any ? errSecSuccess : errSecItemNotFound;
}

OSStatus MemoryStore::remove(const Dictionary& query) {
  calls_.push_back({"remove", query, {}});
  if (failure_ != errSecSuccess) return failure_;
  if (!query.text(kSecClass)) return errSecParam;
  auto removed = std::erase_if(items_, [&](const Dictionary& item) { return itemMatches(item, query); });
  return removed > 0 ? errSecSuccess : errSecItemNotFound;
}

std::shared_ptr<Store> defaultStore() {
  std::lock_guard lock(defaultStoreMutex);
  auto& store = defaultStoreSlot();
  if (!store) store = makeSecretServiceStore();
  return store;
}

void setDefaultStore(std::shared_ptr<Store> store) {
  std::lock_guard lock(defaultStoreMutex);
  defaultStoreSlot() = std::move(store);
}

OSStatus SecItemCopyMatching(const Dictionary& query, std::vector<Dictionary>* result) {
  return defaultStore()->copyMatching(query, result);
}
OSStatus SecItemAdd(const Dictionary& attributes) { return defaultStore()->add(attributes); }
OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributes) {
  return defaultStore()->update(query, attributes);
}
OSStatus SecItemDelete(const Dictionary& query) { return defaultStore()->remove(query); }

std::optional<std::string> SecCopyErrorMessageString(OSStatus status) {
  static const std::map<OSStatus, std::string> messages = {
      {errSecSuccess, "No error."},
      {errSecUserCanceled, "User canceled the operation."},
      {errSecParam, "One or more parameters passed to a function were not valid."},
      {errSecInternalComponent, "An internal component failed."},
      {errSecNotAvailable, "No keychain is available. You may need to restart your computer."},
      {errSecAuthFailed, "The user name or passphrase you entered is not correct."},
      {errSecDuplicateItem, "The specified item already exists in the keychain."},
      {errSecItemNotFound, "The specified item could not be found in the keychain."},
      {errSecInteractionNotAllowed, "User interaction is not allowed."},
      {errSecDecode, "Unable to decode the provided data."},
  };
  auto it = messages.find(status);
  if (it == messages.end()) return std::nullopt;
  return it->second;
}

}  // namespace keychain
