// The keychain item store: the calls SecItemCopyMatching, SecItemAdd,
// SecItemUpdate, SecItemDelete and SecCopyErrorMessageString, on a
// replaceable store.
//
// Contract:
// - Queries and attribute sets are Dictionary values keyed by the constants
//   below (the host's kSec... names). Keys keep the order they were set in;
//   setting a key to none removes it.
// - The SecItem... calls go to the process's default store: the Secret
//   Service backend unless setDefaultStore() installed another (tests install
//   a MemoryStore). They return the host's status numbers: errSecSuccess (0),
//   errSecItemNotFound (-25300) when nothing matches, errSecDuplicateItem
//   (-25299) when an add finds the same item; a locked item or keyring gives
//   errSecInteractionNotAllowed (no call ever prompts), a dismissed prompt
//   errSecUserCanceled, a Secret Service that is missing or does not answer
//   within kSecretServiceTimeoutSeconds errSecNotAvailable. An item whose
//   secret the service sends but that cannot be decrypted fails the read
//   with errSecDecode and an error line naming the item's server (or
//   service) and account.
// - Matching: kSecClass picks the item kind; the attribute keys of the query
//   must all be equal in the item; kSecAttrSynchronizable = kSecAttrSynchronizableAny
//   matches both kinds of item, a missing kSecAttrSynchronizable only
//   non-synchronizable ones. kSecReturn..., kSecMatchLimit and
//   kSecUseDataProtectionKeychain do not restrict the match.
// - SecItemCopyMatching hands back one dictionary per matching item (at most
//   one for kSecMatchLimitOne) with the item's attributes, and with
//   kSecValueData when kSecReturnData is true.
// - SecItemUpdate changes every matching item: its attributes are merged
//   with the given ones, kSecValueData replaces the secret.
// - Secrets are never written to a log or to standard error.
// - Stores are not thread-safe: one thread uses the keychain at a time (the
//   askpass tool and korvane-app are single-threaded).
//
// Secret Service mapping: internet passwords use the schema
// "com.korvaneapp.keychain.InternetPassword" with the string attributes
// protocol, server, path, account, access-group and synchronizable
// ("true"/"false"); generic passwords "com.korvaneapp.keychain.GenericPassword"
// with service and account. Certificates use
// "com.korvaneapp.keychain.Certificate" with serial-number and issuer
// (kSecAttrSerialNumber, kSecAttrIssuer); keys "com.korvaneapp.keychain.Key"
// with application-tag, application-label, label, key-type and key-class
// (kSecAttrApplicationTag, kSecAttrApplicationLabel, kSecAttrLabel,
// kSecAttrKeyType, kSecAttrKeyClass). Byte-valued attributes are stored as
// lower-case hex text. The item label is kSecAttrLabel (by default the
// server or the service); the secret is the password bytes, the
// certificate's DER or the key's DER. Every secret read or written crosses
// the bus encrypted, in a "dh-ietf1024-sha256-aes128-cbc-pkcs7" session
// (the store's own for reads, libsecret's for writes); only a service that
// refuses it gets a "plain" session, and the store then logs an error line
// (subsystem "com.korvaneapp.v3.keychain", category "SecretService").
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace keychain {

using OSStatus = std::int32_t;
using Data = std::vector<std::uint8_t>;
// A constant such as kSecClassInternetPassword is held as its text; a
// number such as kSecAttrKeySizeInBits as an integer.
using Value = std::variant<bool, std::string, Data, std::int64_t>;

// Overwrites the whole buffer of a secret (capacity, not just size, as a
// moved-from short string keeps its bytes inline), so that freed memory does
// not hold it.
void wipe(Data& secret);
void wipe(std::string& secret);

class Dictionary {
 public:
  Dictionary() = default;
  Dictionary(std::initializer_list<std::pair<std::string, Value>> entries);
  // The kSecValueData value is wiped when it is replaced, removed or
  // destroyed.
  ~Dictionary();
  Dictionary(const Dictionary&) = default;
  Dictionary(Dictionary&&) = default;
  Dictionary& operator=(const Dictionary&) = default;
  Dictionary& operator=(Dictionary&&) = default;
  // Sets key to value in place, or appends it; none removes the key.
  void set(const std::string& key, std::optional<Value> value);
  void remove(const std::string& key);
  const Value* find(const std::string& key) const;
  // The value when it is text (a string or a constant), else none.
  std::optional<std::string> text(const std::string& key) const;
  std::optional<Data> data(const std::string& key) const;
  std::optional<bool> boolean(const std::string& key) const;
  std::optional<std::int64_t> integer(const std::string& key) const;
  const std::vector<std::pair<std::string, Value>>& entries() const { return entries_; }
  std::vector<std::string> keys() const;
  bool operator==(const Dictionary&) const = default;

 private:
  std::vector<std::pair<std::string, Value>> entries_;
};

// Keys and constants, with the host's values.
inline const std::string kSecClass = "class";
inline const std::string kSecClassGenericPassword = "genp";
inline const std::string kSecClassInternetPassword = "inet";
inline const std::string kSecClassCertificate = "cert";
inline const std::string kSecClassKey = "keys";
inline const std::string kSecAttrAccessGroup = "agrp";
inline const std::string kSecAttrLabel = "labl";
inline const std::string kSecAttrService = "svce";
inline const std::string kSecAttrAccount = "acct";
inline const std::string kSecAttrProtocol = "ptcl";
inline const std::string kSecAttrServer = "srvr";
inline const std::string kSecAttrPath = "path";
inline const std::string kSecAttrSerialNumber = "slnr";
inline const std::string kSecAttrIssuer = "issr";
inline const std::string kSecAttrApplicationTag = "atag";
inline const std::string kSecAttrApplicationLabel = "klbl";
inline const std::string kSecAttrKeyType = "type";
inline const std::string kSecAttrKeyTypeRSA = "42";
inline const std::string kSecAttrKeyClass = "kcls";
inline const std::string kSecAttrKeyClassPublic = "0";
inline const std::string kSecAttrKeyClassPrivate = "1";
inline const std::string kSecAttrKeySizeInBits = "bsiz";
inline const std::string kSecAttrIsPermanent = "perm";
inline const std::string kSecAttrSynchronizable = "sync";
inline const std::string kSecAttrSynchronizableAny = "syna";
inline const std::string kSecUseDataProtectionKeychain = "nleg";
inline const std::string kSecValueData = "v_Data";
inline const std::string kSecReturnAttributes = "r_Attributes";
inline const std::string kSecReturnData = "r_Data";
inline const std::string kSecReturnRef = "r_Ref";
inline const std::string kSecMatchLimit = "m_Limit";
inline const std::string kSecMatchLimitOne = "m_LimitOne";
inline const std::string kSecMatchLimitAll = "m_LimitAll";

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUserCanceled = -128;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecInternalComponent = -2070;
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecAuthFailed = -25293;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;

// How long one keychain call may wait for the Secret Service in all before
// it fails with errSecNotAvailable. ssh waits on the askpass program, so a
// service that does not answer must not hold it for D-Bus's 25 s.
inline constexpr int kSecretServiceTimeoutSeconds = 5;

class Store {
 public:
  virtual ~Store() = default;
  virtual OSStatus copyMatching(const Dictionary& query, std::vector<Dictionary>* result) = 0;
  virtual OSStatus add(const Dictionary& attributes) = 0;
  virtual OSStatus update(const Dictionary& query, const Dictionary& attributes) = 0;
  virtual OSStatus remove(const Dictionary& query) = 0;
};

// The store of the process; the Secret Service one until replaced.
std::shared_ptr<Store> defaultStore();
void setDefaultStore(std::shared_ptr<Store> store);
std::shared_ptr<Store> makeSecretServiceStore();

// A store in memory that records every call, for tests. fail() makes the
// next calls of every kind return the status instead (0 restores).
class MemoryStore : public Store {
 public:
  struct Call {
    std::string operation;  // "copyMatching", "add", "update" or "remove"
    Dictionary query;       // the query, or the attribute set of an add
    Dictionary attributes;  // the attribute set of an update
  };

  OSStatus copyMatching(const Dictionary& query, std::vector<Dictionary>* result) override;
  OSStatus add(const Dictionary& attributes) override;
  OSStatus update(const Dictionary& query, const Dictionary& attributes) override;
  OSStatus remove(const Dictionary& query) override;

  void fail(OSStatus status) { failure_ = status; }
  const std::vector<Call>& calls() const { return calls_; }
  const std::vector<Dictionary>& items() const { return items_; }

 private:
  std::vector<Dictionary> items_;
  std::vector<Call> calls_;
  OSStatus failure_ = errSecSuccess;
};

// True when the item's attributes satisfy the query's attribute keys.
bool itemMatches(const Dictionary& item, const Dictionary& query);

OSStatus SecItemCopyMatching(const Dictionary& query, std::vector<Dictionary>* result);
OSStatus SecItemAdd(const Dictionary& attributes);
OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributes);
OSStatus SecItemDelete(const Dictionary& query);
// The text for a status, or none for a status the table does not know.
std::optional<std::string> SecCopyErrorMessageString(OSStatus status);

}  // namespace keychain
