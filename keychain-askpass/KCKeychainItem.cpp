#include "keychain-askpass/KCKeychainItem.h"

#include <string_view>

#include "platform/text/text.h"

using namespace keychain;

KCKeychainItem::KCKeychainItem(const Dictionary& dictionary)
    : _accessGroup(dictionary.text(kSecAttrAccessGroup)),
      _label(dictionary.text(kSecAttrLabel)),
      _service(dictionary.text(kSecAttrService)),
      _account(dictionary.text(kSecAttrAccount)),
      _protocol(dictionary.text(kSecAttrProtocol)),
      _server(dictionary.text(kSecAttrServer)),
      _path(dictionary.text(kSecAttrPath)),
      _passwordData(dictionary.data(kSecValueData)) {
  if (_passwordData) {
    _password = text::decodeUTF8(
        std::string_view(reinterpret_cast<const char*>(_passwordData->data()), _passwordData->size()));
  }
}

KCKeychainItem::~KCKeychainItem() {
  if (_password) wipe(*_password);
  if (_passwordData) wipe(*_passwordData);
}
