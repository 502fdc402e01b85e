#include "platform/keychain/keychain.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "tests/support/support.h"

namespace {

using namespace keychain;

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

Dictionary internetItem(const std::string& server, const std::string& account, bool synchronizable,
                        const std::string& password) {
  return Dictionary{{kSecClass, kSecClassInternetPassword}, {kSecAttrProtocol, std::string("svn+ssh")},
                    {kSecAttrServer, server},                {kSecAttrAccount, account},
                    {kSecAttrAccessGroup, std::string("grp")}, {kSecAttrSynchronizable, synchronizable},
                    {kSecValueData, bytes(password)}};
}

Dictionary query(const std::string& server, std::optional<Value> synchronizable) {
  Dictionary q{{kSecClass, kSecClassInternetPassword}, {kSecAttrServer, server}, {kSecReturnData, true},
               {kSecMatchLimit, kSecMatchLimitAll}};
  q.set(kSecAttrSynchronizable, synchronizable);
  return q;
}

TEST(KeychainDictionary, SetKeepsOrderReplacesInPlaceAndNoneRemoves) {
  Dictionary d;
  d.set("a", std::string("1"));
  d.set("b", true);
  d.set("a", std::string("2"));
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(d.text("a"), "2");
  EXPECT_FALSE(d.text("b"));
  d.set("a", std::nullopt);
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"b"}));
}

TEST(KeychainErrorMessages, KnownStatusesHaveText) {
  EXPECT_EQ(SecCopyErrorMessageString(errSecItemNotFound), "The specified item could not be found in the keychain.");
  EXPECT_EQ(SecCopyErrorMessageString(errSecNotAvailable),
            "No keychain is available. You may need to restart your computer.");
  EXPECT_FALSE(SecCopyErrorMessageString(12345));
}

// The matching rules, on both stores: the memory store that unit tests use
// must behave like the Secret Service one.
class StoreContract : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    store = GetParam() == "memory" ? std::shared_ptr<Store>(std::make_shared<MemoryStore>()) : makeSecretServiceStore();
    // Hosts unique to this run, so that runs share the keyring safely.
    // Appended rather than `"-" + std::to_string(...)`: GCC 12 at -O3 takes
    // a literal plus a temporary string for an overlapping copy and stops
    // the Release build (-Werror=restrict), a false positive.
    suffix = std::string("-").append(std::to_string(getpid())) + "." + GetParam();
  }
  void TearDown() override {
    for (const auto& host : {"a", "b", "c"}) store->remove(query(host + suffix, kSecAttrSynchronizableAny));
  }
  std::shared_ptr<Store> store;
  std::string suffix;
};

TEST_P(StoreContract, SynchronizableAnyMatchesBothKindsAndAbsentOnlyLocal) {
  ASSERT_EQ(store->add(internetItem("a" + suffix, "u", false, "local")), errSecSuccess);
  ASSERT_EQ(store->add(internetItem("a" + suffix, "v", true, "synced")), errSecSuccess);
  std::vector<Dictionary> found;
  ASSERT_EQ(store->copyMatching(query("a" + suffix, kSecAttrSynchronizableAny), &found), errSecSuccess);
  EXPECT_EQ(found.size(), 2u);
  ASSERT_EQ(store->copyMatching(query("a" + suffix, std::nullopt), &found), errSecSuccess);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].data(kSecValueData), bytes("local"));
  EXPECT_EQ(found[0].text(kSecAttrAccount), "u");
  EXPECT_EQ(found[0].boolean(kSecAttrSynchronizable), false);
  ASSERT_EQ(store->copyMatching(query("a" + suffix, true), &found), errSecSuccess);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].data(kSecValueData), bytes("synced"));
}

TEST_P(StoreContract, AddUpdateRemoveAndTheirStatuses) {
  auto item = internetItem("b" + suffix, "u", false, "one");
  ASSERT_EQ(store->add(item), errSecSuccess);
  EXPECT_EQ(store->add(item), errSecDuplicateItem);

  Dictionary change{{kSecValueData, Data{0xff, 0x00, 0x01}}, {kSecAttrPath, std::string("/repos")}};
  ASSERT_EQ(store->update(query("b" + suffix, kSecAttrSynchronizableAny), change), errSecSuccess);
  std::vector<Dictionary> found;
  auto one = query("b" + suffix, kSecAttrSynchronizableAny);
  one.set(kSecMatchLimit, kSecMatchLimitOne);
  ASSERT_EQ(store->copyMatching(one, &found), errSecSuccess);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].data(kSecValueData), (Data{0xff, 0x00, 0x01}));
  EXPECT_EQ(found[0].text(kSecAttrPath), "/repos");
  EXPECT_EQ(found[0].text(kSecAttrAccessGroup), "grp");

  EXPECT_EQ(store->update(query("c" + suffix, kSecAttrSynchronizableAny), change), errSecItemNotFound);
  EXPECT_EQ(store->remove(query("b" + suffix, kSecAttrSynchronizableAny)), errSecSuccess);
  EXPECT_EQ(store->remove(query("b" + suffix, kSecAttrSynchronizableAny)), errSecItemNotFound);
  EXPECT_EQ(store->copyMatching(one, &found), errSecItemNotFound);
  EXPECT_EQ(store->copyMatching(Dictionary{{kSecAttrServer, std::string("x")}}, &found), errSecParam);
}

TEST_P(StoreContract, GenericPasswordsAreAKindOfTheirOwn) {
  Dictionary generic{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "c" + suffix},
                     {kSecAttrAccount, std::string("u")}, {kSecValueData, bytes("g")}};
  ASSERT_EQ(store->add(generic), errSecSuccess);
  std::vector<Dictionary> found;
  Dictionary byService{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "c" + suffix},
                       {kSecReturnData, true}};
  ASSERT_EQ(store->copyMatching(byService, &found), errSecSuccess);
  EXPECT_EQ(found.at(0).data(kSecValueData), bytes("g"));
  EXPECT_EQ(store->copyMatching(query("c" + suffix, kSecAttrSynchronizableAny), &found), errSecItemNotFound);
  EXPECT_EQ(store->remove(byService), errSecSuccess);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreContract, ::testing::Values("memory", "secretservice"));

TEST(SecretServiceStore, ItemStoredWithSecretToolIsFound) {
  auto stored = testsupport::run({"secret-tool", "store", "--label=L", "xdg:schema",
                                  "com.korvaneapp.keychain.InternetPassword", "protocol", "svn+ssh", "server",
                                  "tool-host", "account", "svnuser", "access-group",
                                  "7QH2MXR5TB.com.korvaneapp.shareditems", "synchronizable", "false"},
                                 {}, "from-tool");
  ASSERT_EQ(stored.status, 0) << stored.err;
  auto store = makeSecretServiceStore();
  Dictionary q{{kSecAttrSynchronizable, kSecAttrSynchronizableAny},
               {kSecClass, kSecClassInternetPassword},
               {kSecAttrProtocol, std::string("svn+ssh")},
               {kSecAttrServer, std::string("tool-host")},
               {kSecAttrAccessGroup, std::string("7QH2MXR5TB.com.korvaneapp.shareditems")},
               {kSecReturnData, true}};
  std::vector<Dictionary> found;
  ASSERT_EQ(store->copyMatching(q, &found), errSecSuccess);
  EXPECT_EQ(found.at(0).data(kSecValueData), bytes("from-tool"));
  EXPECT_EQ(found.at(0).text(kSecAttrLabel), "L");
  EXPECT_EQ(found.at(0).text(kSecAttrAccount), "svnuser");
  EXPECT_EQ(store->remove(q), errSecSuccess);
}

// This process's first use of libgcrypt is the store's own encrypted read,
// which sets up its secure memory; libsecret's encrypted writes must work
// in that set-up.
TEST(SecretServiceStore, WritesAfterTheFirstEncryptedReadWork) {
  auto store = makeSecretServiceStore();
  const std::string server = "gcrypt-host-" + std::to_string(getpid());
  auto q = query(server, kSecAttrSynchronizableAny);
  std::vector<Dictionary> found;
  ASSERT_EQ(store->copyMatching(q, &found), errSecItemNotFound);
  ASSERT_EQ(store->add(internetItem(server, "u", false, "first")), errSecSuccess);
  ASSERT_EQ(store->update(q, Dictionary{{kSecValueData, bytes("second")}}), errSecSuccess);
  ASSERT_EQ(store->copyMatching(q, &found), errSecSuccess);
  EXPECT_EQ(found.at(0).data(kSecValueData), bytes("second"));
  EXPECT_EQ(store->remove(q), errSecSuccess);
}

}  // namespace
