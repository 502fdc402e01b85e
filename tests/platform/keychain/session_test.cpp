// The Secret Service store's encrypted reads against krv-fake-secret-service
// on a private bus.
#include <gtest/gtest.h>

#include "platform/keychain/keychain.h"
#include "platform/log/log.h"
#include "tests/platform/findersync/bus_session.h"
#include "tests/support/privatebus.h"
#include "tests/support/support.h"

namespace {

using namespace keychain;
using namespace std::chrono_literals;

Dictionary readQuery(const std::string& server) {
  return Dictionary{{kSecClass, kSecClassInternetPassword}, {kSecAttrServer, server},
                    {kSecReturnData, true}, {kSecMatchLimit, kSecMatchLimitOne}};
}

class SecretServiceSession : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testsupport::usePrivateSessionBus();
    service = new testbus::Process({testsupport::binDir() + "/krv-fake-secret-service"});
    auto owned = testsupport::run({"gdbus", "wait", "--session", "--timeout", "20", "org.freedesktop.secrets"});
    ASSERT_EQ(owned.status, 0) << owned.err << service->err();
  }
  static void TearDownTestSuite() {
    delete service;
    service = nullptr;
  }
  static inline testbus::Process* service = nullptr;
};

TEST_F(SecretServiceSession, ASecretThatCannotBeDecryptedIsAnErrorNamingItsItem) {
  auto store = makeSecretServiceStore();
  std::vector<Dictionary> found;
  oslog::CaptureSink capture;
  EXPECT_EQ(store->copyMatching(readQuery("undecryptable"), &found), errSecDecode);
  EXPECT_TRUE(found.empty());
  auto entries = capture.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, oslog::Level::Error);
  EXPECT_EQ(entries[0].subsystem, "com.korvaneapp.v3.keychain");
  EXPECT_NE(entries[0].message.find("\"undecryptable\""), std::string::npos) << entries[0].message;
  EXPECT_NE(entries[0].message.find("\"svnuser\""), std::string::npos) << entries[0].message;

  // The same service's good item reads, and nothing is logged for it.
  capture.clear();
  ASSERT_EQ(store->copyMatching(readQuery("readable"), &found), errSecSuccess);
  std::string secret = "readable-secret";
  EXPECT_EQ(found.at(0).data(kSecValueData), Data(secret.begin(), secret.end()));
  EXPECT_TRUE(capture.entries().empty());
}

}  // namespace
