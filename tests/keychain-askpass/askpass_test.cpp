#include "keychain-askpass/KRVAskpass.h"

#include <gtest/gtest.h>

#include <memory>

#include "keychain-askpass/KCKeychain.h"
#include "keychain-askpass/KRVSharedItemsAccessGroup.h"
#include "platform/nslog/nslog.h"

namespace {

using namespace keychain;
using Args = std::vector<std::string>;

const Args kSsh = {"ssh", "-q", "--", "svnuser@buildhost", "svnserve", "-t"};

class KRVAskpass : public ::testing::Test {
 protected:
  void SetUp() override {
    setDefaultStore(store);
    storePassword("svn+ssh://buildhost/repos", "svnuser", "s3cret");
    storePassword("svn+ssh://otherhost", "a", "for-a");
  }
  void TearDown() override { setDefaultStore(nullptr); }

  void storePassword(const std::string& url, const std::optional<std::string>& account, const std::string& pw) {
    ASSERT_TRUE(KCKeychain::addOrUpdateInternetItem(std::nullopt, *url::URL::parse(url), account, pw,
                                                    std::string(KRVSharedItemsAccessGroup), nullptr));
  }
  // The query of the last keychain call.
  const Dictionary& lastQuery() const { return store->calls().back().query; }
  std::size_t callCount() const { return store->calls().size(); }

  std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
};

TEST_F(KRVAskpass, PasswordOfTheParentsHostAndUser) {
  auto answer = KRVAnswerPrompt("svnuser@buildhost's password:", kSsh);
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(answer.output, "s3cret");
  EXPECT_EQ(lastQuery().text(kSecAttrServer), "buildhost");
  EXPECT_EQ(lastQuery().text(kSecAttrAccount), "svnuser");
  EXPECT_EQ(lastQuery().text(kSecAttrProtocol), "svn+ssh");
  EXPECT_EQ(lastQuery().text(kSecAttrAccessGroup), "7QH2MXR5TB.com.korvaneapp.shareditems");
  EXPECT_EQ(lastQuery().find(kSecAttrPath), nullptr);

  // Capital P, and the user named in the prompt is never used.
  EXPECT_EQ(KRVAnswerPrompt("mallory@evil Password:", kSsh).output, "s3cret");
}

TEST_F(KRVAskpass, OtherPromptsNeedNoParent) {
  auto calls = callCount();
  auto hostKey = KRVAnswerPrompt(
      "The AUTHENTICITY of host 'buildhost' can't be established.\nAre you sure (Yes/No/[fingerprint])?",
      std::nullopt);
  EXPECT_EQ(hostKey.status, 0);
  EXPECT_EQ(hostKey.output, "yes\n");
  auto passphrase = KRVAnswerPrompt("Enter passphrase for key '/root/.ssh/id_ed25519': ", std::nullopt);
  EXPECT_EQ(passphrase.status, 0);
  EXPECT_EQ(passphrase.output, "");
  auto empty = KRVAnswerPrompt("", std::nullopt);
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.output, "");
  EXPECT_EQ(callCount(), calls);
  // "authenticity" without "yes/no" still counts as a password request.
  EXPECT_EQ(KRVAnswerPrompt("authenticity password:", kSsh).output, "s3cret");
}

TEST_F(KRVAskpass, HostSpecificationForms) {
  // a@b@c: account a, host c.
  storePassword("svn+ssh://c", "a", "abc");
  EXPECT_EQ(KRVAnswerPrompt("password:", Args{"ssh", "a@b@c", "svnserve"}).output, "abc");
  EXPECT_EQ(lastQuery().text(kSecAttrAccount), "a");
  EXPECT_EQ(lastQuery().text(kSecAttrServer), "c");

  // No "@": any account on the host.
  EXPECT_EQ(KRVAnswerPrompt("password:", Args{"ssh", "otherhost", "svnserve"}).output, "for-a");
  EXPECT_EQ(lastQuery().find(kSecAttrAccount), nullptr);

  // "@host": the empty account is asked for, and nobody has it.
  auto emptyAccount = KRVAnswerPrompt("password:", Args{"ssh", "@otherhost", "svnserve"});
  EXPECT_EQ(lastQuery().text(kSecAttrAccount), "");
  EXPECT_EQ(emptyAccount.status, 1);

  // The argument before the first "svnserve" counts.
  EXPECT_EQ(KRVAnswerPrompt("password:", Args{"ssh", "svnuser@buildhost", "svnserve", "x@otherhost", "svnserve"})
                .output,
            "s3cret");
}

TEST_F(KRVAskpass, UnanswerablePasswordRequests) {
  const std::vector<std::optional<Args>> parents = {
      std::nullopt,                                          // parent unreadable
      Args{"ssh", "svnuser@buildhost", "/usr/local/bin/svnserve"},  // not exactly "svnserve"
      Args{"svnserve", "-t"},                                // nothing before "svnserve"
      Args{"ssh", "nobody@buildhost", "svnserve"},           // no such item
      Args{"ssh", "svnuser@", "svnserve"},                   // empty host
      Args{"ssh", "svnuser@build host", "svnserve"},         // not a URL
      Args{"ssh", "svnuser@buildhost:x", "svnserve"},        // not a port
      Args{"ssh", "svnuser@buildhost:22:22", "svnserve"},
      Args{"ssh", "svnuser@buildhost/x", "svnserve"},
      Args{"ssh", "svnuser@buildhost#x", "svnserve"},
      Args{"ssh", "svnuser@buildhost%2fx", "svnserve"},
  };
  for (const auto& parent : parents) {
    auto answer = KRVAnswerPrompt("password:", parent);
    EXPECT_EQ(answer.status, 1) << (parent ? parent->at(1) : "none");
    EXPECT_EQ(answer.output, "");
  }
}

// ssh -J jump ... HOST svnserve, with HOST not text and so left out: the
// argument before "svnserve" is then the jump host's.
TEST_F(KRVAskpass, NoPasswordWhenAParentArgumentWasLeftOut) {
  const Args shifted = {"ssh", "-J", "svnuser@buildhost", "svnserve", "-t"};
  ASSERT_EQ(KRVAnswerPrompt("password:", shifted, 0).output, "s3cret");
  auto calls = callCount();
  nslog::CaptureLines capture;
  auto answer = KRVAnswerPrompt("password:", shifted, 1);
  EXPECT_EQ(answer.status, 1);
  EXPECT_EQ(answer.output, "");
  EXPECT_EQ(callCount(), calls);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_NE(capture.lines()[0].find("1 of the parent's arguments is not valid text"), std::string::npos);
  EXPECT_EQ(KRVAnswerPrompt("authenticity (yes/no)?", shifted, 1).output, "yes\n");
  EXPECT_EQ(capture.lines().size(), 1u);
}

TEST_F(KRVAskpass, StoredPasswordEdgeValues) {
  storePassword("svn+ssh://emptyhost", "u", "");
  auto empty = KRVAnswerPrompt("password:", Args{"ssh", "u@emptyhost", "svnserve"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.output, "");

  // Not UTF-8: found, but nothing to write.
  ASSERT_EQ(SecItemAdd(Dictionary{{kSecClass, kSecClassInternetPassword},
                                  {kSecAttrProtocol, std::string("svn+ssh")},
                                  {kSecAttrServer, std::string("binhost")},
                                  {kSecAttrAccount, std::string("u")},
                                  {kSecAttrAccessGroup, std::string(KRVSharedItemsAccessGroup)},
                                  {kSecValueData, Data{0xc3, 0x28}}}),
            errSecSuccess);
  auto binary = KRVAnswerPrompt("password:", Args{"ssh", "u@binhost", "svnserve"});
  EXPECT_EQ(binary.status, 0);
  EXPECT_EQ(binary.output, "");

  // A keychain that refuses: status 1, nothing written.
  store->fail(errSecInteractionNotAllowed);
  auto locked = KRVAnswerPrompt("password:", kSsh);
  EXPECT_EQ(locked.status, 1);
  EXPECT_EQ(locked.output, "");
}

}  // namespace
