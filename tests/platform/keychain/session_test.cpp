// The Secret Service store's encrypted reads against krv-fake-secret-service
// on a private bus: a secret that cannot be decrypted, the keys of a
// session left in memory, and libgcrypt's secure memory.
#include <fcntl.h>
#include <gcrypt.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/keychain/keychain.h"
#include "platform/log/log.h"
#include "tests/platform/findersync/bus_session.h"
#include "tests/support/privatebus.h"
#include "tests/support/support.h"

namespace {

using namespace keychain;
using namespace std::chrono_literals;

// The fake service hands out its keys with each byte XORed with this, so
// that the test never holds them in clear.
constexpr std::uint8_t kMask = 0x5a;

Dictionary readQuery(const std::string& server) {
  return Dictionary{{kSecClass, kSecClassInternetPassword}, {kSecAttrServer, server},
                    {kSecReturnData, true}, {kSecMatchLimit, kSecMatchLimitOne}};
}

Data masked(const std::string& hex) {
  Data bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// Which of the needles a readable mapping of this process holds, each given
// in masked form. Each chunk is unmasked as a whole and searched for the
// masked needles, so the clear bytes are never made; the chunk buffer, where
// the masked copies would turn clear, is left out of the search.
std::vector<bool> inMemory(const std::vector<Data>& needles) {
  constexpr std::size_t kChunk = 1 << 20;
  // Larger mappings are sanitizer shadow or reserved address space, not
  // what the program allocates; the test process's own heap is far smaller.
  constexpr std::size_t kLargest = std::size_t{64} << 20;
  std::vector<bool> found(needles.size(), false);
  std::size_t longest = 0;
  for (const auto& needle : needles) longest = std::max(longest, needle.size());
  auto* buffer = static_cast<std::uint8_t*>(
      mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  EXPECT_NE(buffer, MAP_FAILED);
  if (buffer == MAP_FAILED) return found;
  const auto skipFrom = reinterpret_cast<std::uintptr_t>(buffer);
  const auto skipTo = skipFrom + kChunk;
  int mem = open("/proc/self/mem", O_RDONLY);
  EXPECT_GE(mem, 0);
  std::uint64_t mask = 0;
  std::memset(&mask, kMask, sizeof mask);
  auto search = [&](std::uintptr_t from, std::uintptr_t to) {
    for (std::uintptr_t at = from; at < to;) {
      std::size_t want = std::min<std::uintptr_t>(kChunk, to - at);
      ssize_t got = pread(mem, buffer, want, static_cast<off_t>(at));
      if (got <= 0) return;
      auto length = static_cast<std::size_t>(got);
      for (std::size_t i = 0; i < length; i += sizeof mask) {
        std::uint64_t word = 0;
        std::size_t n = std::min(sizeof word, length - i);
        std::memcpy(&word, buffer + i, n);
        word ^= mask;
        std::memcpy(buffer + i, &word, n);
      }
      for (std::size_t k = 0; k < needles.size(); ++k) {
        if (memmem(buffer, length, needles[k].data(), needles[k].size()) != nullptr) found[k] = true;
      }
      // Overlap the next chunk so that no match is cut in two.
      at += length > longest ? length - longest + 1 : length;
    }
  };
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    std::uintptr_t from = 0;
    std::uintptr_t to = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, perms) != 3 || perms[0] != 'r') continue;
    if (to - from > kLargest || line.find("[vvar]") != std::string::npos) continue;
    search(from, std::min(to, std::max(from, skipFrom)));
    search(std::max(from, std::min(to, skipTo)), to);
  }
  close(mem);
  explicit_bzero(buffer, kChunk);
  munmap(buffer, kChunk);
  return found;
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
  // The fake's "session PRK AES" lines.
  static std::vector<std::string> sessions() {
    std::vector<std::string> lines;
    std::istringstream out(service->out());
    for (std::string line; std::getline(out, line);) {
      if (line.starts_with("session ")) lines.push_back(line);
    }
    return lines;
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

TEST_F(SecretServiceSession, NoKeyOfAnEndedSessionIsLeftInMemory) {
  auto before = sessions().size();
  {
    auto store = makeSecretServiceStore();
    std::vector<Dictionary> found;
    ASSERT_EQ(store->copyMatching(readQuery("readable"), &found), errSecSuccess);
  }
  ASSERT_TRUE(testsupport::waitFor([&] { return sessions().size() > before; }, 10s)) << service->err();
  std::istringstream line(sessions().back().substr(8));
  std::string prk;
  std::string aes;
  line >> prk >> aes;
  ASSERT_EQ(prk.size(), 64u);
  ASSERT_EQ(aes.size(), 32u);
  // A marker that is in memory shows that the search finds what is there.
  Data marker(16);
  ASSERT_EQ(getrandom(marker.data(), marker.size(), 0), 16);
  Data maskedMarker = marker;
  for (auto& byte : maskedMarker) byte ^= kMask;
  auto found = inMemory({maskedMarker, masked(prk), masked(aes)});
  explicit_bzero(marker.data(), marker.size());
  EXPECT_TRUE(found[0]) << "the search missed a marker known to be in memory";
  EXPECT_FALSE(found[1]) << "the HKDF pseudo-random key is still in memory";
  EXPECT_FALSE(found[2]) << "the AES key is still in memory";
}

// libsecret expects libgcrypt's secure allocations to come from locked
// memory; whoever initialises libgcrypt first decides for the process.
TEST_F(SecretServiceSession, LibgcryptKeepsItsSecureMemory) {
  auto store = makeSecretServiceStore();
  std::vector<Dictionary> found;
  ASSERT_EQ(store->copyMatching(readQuery("readable"), &found), errSecSuccess);
  void* secure = gcry_malloc_secure(32);
  ASSERT_NE(secure, nullptr);
  EXPECT_TRUE(gcry_is_secure(secure));
  gcry_free(secure);
}

}  // namespace
