// One keychain item as the keychain returned it: a plain read-only record.
// A key missing from the returned attributes leaves its field absent;
// password is passwordData decoded as UTF-8, absent when there is no data
// or it is not valid UTF-8.
#pragma once

#include <optional>
#include <string>

#include "platform/keychain/keychain.h"

class KCKeychainItem {
 public:
  explicit KCKeychainItem(const keychain::Dictionary& dictionary);
  // The password and its data are wiped, not just freed.
  ~KCKeychainItem();
  KCKeychainItem(const KCKeychainItem&) = default;
  KCKeychainItem(KCKeychainItem&&) = default;
  KCKeychainItem& operator=(const KCKeychainItem&) = default;
  KCKeychainItem& operator=(KCKeychainItem&&) = default;

  const std::optional<std::string>& accessGroup() const { return _accessGroup; }
  const std::optional<std::string>& label() const { return _label; }
  const std::optional<std::string>& service() const { return _service; }
  const std::optional<std::string>& account() const { return _account; }
  const std::optional<std::string>& protocol() const { return _protocol; }
  const std::optional<std::string>& server() const { return _server; }
  const std::optional<std::string>& path() const { return _path; }
  const std::optional<std::string>& password() const { return _password; }
  const std::optional<keychain::Data>& passwordData() const { return _passwordData; }

 private:
  std::optional<std::string> _accessGroup;
  std::optional<std::string> _label;
  std::optional<std::string> _service;
  std::optional<std::string> _account;
  std::optional<std::string> _protocol;
  std::optional<std::string> _server;
  std::optional<std::string> _path;
  std::optional<std::string> _password;
  std::optional<keychain::Data> _passwordData;
};
