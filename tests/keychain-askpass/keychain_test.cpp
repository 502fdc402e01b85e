#include "keychain-askpass/KCKeychain.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace keychain;
using Keys = std::vector<std::string>;

const std::string kGroup = "7QH2MXR5TB.com.korvaneapp.shareditems";

url::URL parse(const std::string& text) {
  auto url = url::URL::parse(text);
  EXPECT_TRUE(url) << text;
  return url.value_or(url::URL{});
}

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

class KCKeychainStore : public ::testing::Test {
 protected:
  void SetUp() override { setDefaultStore(store); }
  void TearDown() override { setDefaultStore(nullptr); }
  std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
};

TEST(KCKeychainQueries, InternetQueryKeysInOrder) {
  auto query = KCKeychain::searchQueryForInternetPassword(parse("svn+ssh://buildhost/repos"), "svnuser", kGroup);
  EXPECT_EQ(query.keys(), (Keys{kSecAttrSynchronizable, kSecClass, kSecAttrProtocol, kSecAttrServer, kSecAttrPath,
                                kSecAttrAccount, kSecAttrAccessGroup}));
  EXPECT_EQ(query.text(kSecAttrSynchronizable), kSecAttrSynchronizableAny);
  EXPECT_EQ(query.text(kSecClass), kSecClassInternetPassword);
  EXPECT_EQ(query.text(kSecAttrProtocol), "svn+ssh");
  EXPECT_EQ(query.text(kSecAttrServer), "buildhost");
  EXPECT_EQ(query.text(kSecAttrPath), "/repos");
  EXPECT_EQ(query.text(kSecAttrAccount), "svnuser");
  EXPECT_EQ(query.text(kSecAttrAccessGroup), kGroup);
}

TEST(KCKeychainQueries, SSHQueryHasNoPathAndLeavesOutAbsentArguments) {
  auto query = KCKeychain::searchQueryForSSH(parse("svn+ssh://buildhost"), "svnuser", kGroup);
  EXPECT_EQ(query.keys(), (Keys{kSecAttrSynchronizable, kSecClass, kSecAttrProtocol, kSecAttrServer, kSecAttrAccount,
                                kSecAttrAccessGroup}));
  EXPECT_EQ(query.text(kSecAttrServer), "buildhost");

  auto anyAccount = KCKeychain::searchQueryForSSH(parse("svn+ssh://buildhost/repos"), std::nullopt, kGroup);
  EXPECT_EQ(anyAccount.keys(),
            (Keys{kSecAttrSynchronizable, kSecClass, kSecAttrProtocol, kSecAttrServer, kSecAttrAccessGroup}));

  // No URL at all: no protocol, server or path either.
  auto noURL = KCKeychain::searchQueryForSSH(url::URL{}, "a", std::nullopt);
  EXPECT_EQ(noURL.keys(), (Keys{kSecAttrSynchronizable, kSecClass, kSecAttrAccount}));
}

TEST(KCKeychainQueries, RealmQueryKeepsOnlyANonEmptyPath) {
  auto withPath = KCKeychain::searchQueryForRealm(parse("https://svn.example.org/repos"), "u", kGroup);
  EXPECT_EQ(withPath.text(kSecAttrPath), "/repos");
  auto withoutPath = KCKeychain::searchQueryForRealm(parse("https://svn.example.org"), "u", kGroup);
  EXPECT_EQ(withoutPath.find(kSecAttrPath), nullptr);
  EXPECT_EQ(withoutPath.text(kSecAttrServer), "svn.example.org");
}

TEST(KCKeychainQueries, GenericQueryKeysInOrder) {
  auto query = KCKeychain::searchQueryForGenericPassword("svc", "acct");
  EXPECT_EQ(query.keys(), (Keys{kSecAttrSynchronizable, kSecClass, kSecAttrService, kSecAttrAccount}));
  EXPECT_EQ(query.text(kSecClass), kSecClassGenericPassword);
  EXPECT_EQ(KCKeychain::searchQueryForGenericPassword(std::nullopt, std::nullopt).keys(),
            (Keys{kSecAttrSynchronizable, kSecClass}));
}

TEST_F(KCKeychainStore, NewInternetPasswordIsAddedAfterTheUpdateFindsNothing) {
  auto url = parse("svn+ssh://buildhost/repos");
  ASSERT_TRUE(KCKeychain::addOrUpdateInternetItem(std::nullopt, url, "svnuser", "pw", kGroup, nullptr));
  ASSERT_EQ(store->calls().size(), 2u);
  EXPECT_EQ(store->calls()[0].operation, "update");
  EXPECT_EQ(store->calls()[0].query, KCKeychain::searchQueryForInternetPassword(url, "svnuser", kGroup));
  EXPECT_EQ(store->calls()[1].operation, "add");
  const auto& added = store->calls()[1].query;
  EXPECT_EQ(added.keys(), (Keys{kSecAttrAccessGroup, kSecUseDataProtectionKeychain, kSecAttrSynchronizable,
                                kSecAttrProtocol, kSecAttrServer, kSecAttrPath, kSecAttrAccount, kSecValueData,
                                kSecClass}));
  EXPECT_EQ(added.data(kSecValueData), bytes("pw"));
  EXPECT_EQ(added.boolean(kSecAttrSynchronizable), true);
  EXPECT_EQ(added.boolean(kSecUseDataProtectionKeychain), true);
  EXPECT_EQ(added.text(kSecClass), kSecClassInternetPassword);
}

TEST_F(KCKeychainStore, ExistingInternetPasswordIsUpdatedWithoutAnAdd) {
  auto url = parse("svn+ssh://buildhost");
  ASSERT_TRUE(KCKeychain::addOrUpdateInternetItem(std::nullopt, url, "svnuser", "old", kGroup, nullptr));
  ASSERT_TRUE(KCKeychain::addOrUpdateInternetItem(std::nullopt, url, "svnuser", "new", kGroup, nullptr));
  ASSERT_EQ(store->calls().size(), 3u);
  EXPECT_EQ(store->calls()[2].operation, "update");
  EXPECT_EQ(store->calls()[2].attributes.boolean(kSecUseDataProtectionKeychain), true);
  EXPECT_EQ(store->calls()[2].attributes.boolean(kSecAttrSynchronizable), true);
  ASSERT_EQ(store->items().size(), 1u);
  EXPECT_EQ(store->items()[0].data(kSecValueData), bytes("new"));

  auto item = KCKeychain::keychainItemForQuery(KCKeychain::searchQueryForSSH(url, "svnuser", kGroup), nullptr);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->password(), "new");
  EXPECT_EQ(item->server(), "buildhost");
  EXPECT_EQ(item->protocol(), "svn+ssh");
  EXPECT_EQ(item->path(), "");
  EXPECT_EQ(item->accessGroup(), kGroup);
  EXPECT_FALSE(item->service());
}

TEST_F(KCKeychainStore, WithoutAccessGroupNoSynchronizableOrDataProtectionKey) {
  ASSERT_TRUE(KCKeychain::addOrUpdateInternetItem(std::nullopt, parse("svn+ssh://h"), "u", "pw", std::nullopt,
                                                  nullptr));
  const auto& added = store->calls().back().query;
  EXPECT_EQ(added.find(kSecAttrAccessGroup), nullptr);
  EXPECT_EQ(added.find(kSecUseDataProtectionKeychain), nullptr);
  EXPECT_EQ(added.find(kSecAttrSynchronizable), nullptr);
}

TEST_F(KCKeychainStore, GenericPasswordAddUpdateFetchAndRemove) {
  ASSERT_TRUE(KCKeychain::addOrUpdateGenericItem(std::nullopt, "svc", "acct", "one", nullptr));
  const auto& added = store->calls().back().query;
  EXPECT_EQ(added.keys(), (Keys{kSecAttrService, kSecAttrAccount, kSecValueData, kSecClass}));
  ASSERT_TRUE(KCKeychain::addOrUpdateGenericItem(std::nullopt, "svc", "acct", "two", nullptr));
  auto query = KCKeychain::searchQueryForGenericPassword("svc", "acct");
  auto items = KCKeychain::keychainItemsForQuery(query, nullptr);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].service(), "svc");
  EXPECT_EQ(items[0].password(), "two");
  ASSERT_TRUE(KCKeychain::removeItemsForQuery(query, nullptr));
  EXPECT_TRUE(store->items().empty());
}

TEST_F(KCKeychainStore, NothingFoundOrRemoved) {
  auto query = KCKeychain::searchQueryForSSH(parse("svn+ssh://nohost"), "u", kGroup);
  KCError error;
  EXPECT_FALSE(KCKeychain::keychainItemForQuery(query, &error));
  EXPECT_EQ(error.domain, "NSOSStatusErrorDomain");
  EXPECT_EQ(error.code, -25300);
  EXPECT_EQ(error.localizedFailure, "Unable to find password to the keychain.");
  EXPECT_EQ(error.localizedFailureReason, "The specified item could not be found in the keychain.");

  KCError untouched{"unchanged", 1, "", std::nullopt};
  EXPECT_TRUE(KCKeychain::keychainItemsForQuery(query, &untouched).empty());
  EXPECT_EQ(untouched.domain, "unchanged");
  EXPECT_TRUE(KCKeychain::removeItemsForQuery(query, &untouched));
  EXPECT_EQ(untouched.domain, "unchanged");
}

TEST_F(KCKeychainStore, FailuresCarryTheOperationsMessage) {
  auto query = KCKeychain::searchQueryForSSH(parse("svn+ssh://h"), "u", kGroup);
  store->fail(errSecInteractionNotAllowed);
  KCError error;
  EXPECT_FALSE(KCKeychain::addOrUpdateInternetItem(std::nullopt, parse("svn+ssh://h"), "u", "p", kGroup, &error));
  EXPECT_EQ(error.code, -25308);
  EXPECT_EQ(error.localizedFailure, "Unable to add password to the keychain.");
  EXPECT_EQ(error.localizedFailureReason, "User interaction is not allowed.");
  EXPECT_FALSE(KCKeychain::removeItemsForQuery(query, &error));
  EXPECT_EQ(error.localizedFailure, "Unable to delete the password from the keychain.");
  EXPECT_TRUE(KCKeychain::keychainItemsForQuery(query, &error).empty());
  EXPECT_EQ(error.localizedFailure, "Unable to find passwords in the keychain.");

  // A status the message table does not know has no failure reason.
  store->fail(-99999);
  EXPECT_FALSE(KCKeychain::keychainItemForQuery(query, &error));
  EXPECT_EQ(error.code, -99999);
  EXPECT_FALSE(error.localizedFailureReason);
  // No out-place, no error value: the call still fails cleanly.
  EXPECT_FALSE(KCKeychain::keychainItemForQuery(query, nullptr));
}

TEST_F(KCKeychainStore, FetchAddsTheResultKeysToACopyOfTheQuery) {
  auto query = KCKeychain::searchQueryForSSH(parse("svn+ssh://h"), "u", kGroup);
  auto before = query;
  KCKeychain::keychainItemForQuery(query, nullptr);
  KCKeychain::keychainItemsForQuery(query, nullptr);
  EXPECT_EQ(query, before);
  const auto& one = store->calls()[0].query;
  EXPECT_EQ(one.boolean(kSecReturnAttributes), true);
  EXPECT_EQ(one.boolean(kSecReturnData), true);
  EXPECT_EQ(one.text(kSecMatchLimit), kSecMatchLimitOne);
  EXPECT_EQ(store->calls()[1].query.text(kSecMatchLimit), kSecMatchLimitAll);
}

TEST(KCKeychainItem, PasswordIsAbsentWhenTheDataIsNotUTF8) {
  KCKeychainItem item(Dictionary{{kSecValueData, Data{0xff, 0x00, 0x41}}, {kSecAttrAccount, std::string("u")}});
  EXPECT_EQ(item.passwordData(), (Data{0xff, 0x00, 0x41}));
  EXPECT_FALSE(item.password());
  EXPECT_EQ(item.account(), "u");
  EXPECT_FALSE(item.label());

  KCKeychainItem empty(Dictionary{{kSecValueData, Data{}}});
  EXPECT_EQ(empty.password(), "");
}

}  // namespace
