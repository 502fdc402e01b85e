// An ssh prompt and the argument block of the parent ssh, as keychain-askpass
// answers them: the input is the prompt, then after the first NUL the block
// in KERN_PROCARGS2 layout (argc, the executable path, the arguments), read
// through KRVProcessInfo, whose arguments may hold bytes that are not UTF-8.
// The keychain is an in-memory one holding passwords for svnuser at
// "buildhost" and "jump.example"; a password must never be answered from an
// argument list that lost an argument, as the host before "svnserve" could
// then be another host's.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "keychain-askpass/KCKeychain.h"
#include "keychain-askpass/KRVAskpass.h"
#include "keychain-askpass/KRVProcessInfo.h"
#include "keychain-askpass/KRVSharedItemsAccessGroup.h"
#include "platform/nslog/nslog.h"
#include "platform/url/url.h"

namespace {

constexpr pid_t kPid = 4242;

KRVProcessInfo::Sysctl kernelServing(const std::string& block) {
  return [&block](const int*, unsigned namelen, void* oldp, std::size_t* oldlenp, const void*, std::size_t) {
    if (namelen == 4) {  // the process record
      process::kinfo_proc record;
      record.kp_proc.p_pid = kPid;
      if (oldp != nullptr) std::memcpy(oldp, &record, std::min(*oldlenp, sizeof record));
      *oldlenp = sizeof record;
      return 0;
    }
    if (oldp != nullptr) std::memcpy(oldp, block.data(), std::min(*oldlenp, block.size()));
    *oldlenp = oldp != nullptr ? std::min(*oldlenp, block.size()) : block.size();
    return 0;
  };
}

void storePassword(const std::string& host, const std::string& password) {
  KCKeychain::addOrUpdateInternetItem(std::nullopt, *url::URL::parse("svn+ssh://" + host), std::string("svnuser"),
                                      password, std::string(KRVSharedItemsAccessGroup), nullptr);
}

bool isPasswordRequest(std::string prompt) {
  for (auto& c : prompt) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  bool hostKey = prompt.find("authenticity") != std::string::npos && prompt.find("yes/no") != std::string::npos;
  return !hostKey && prompt.find("password:") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t end = input.find('\0');
  const std::string prompt = input.substr(0, end);
  const std::string block = end == std::string::npos ? std::string() : input.substr(end + 1);

  // A fresh store per input: the memory store records every call.
  keychain::setDefaultStore(std::make_shared<keychain::MemoryStore>());
  storePassword("buildhost", "build-pass");
  storePassword("jump.example", "jump-pass");

  nslog::CaptureLines quiet;
  auto parent = KRVProcessInfo::withProcessIdentifier(kPid, kernelServing(block));
  std::optional<std::vector<std::string>> arguments;
  std::size_t leftOut = 0;
  if (parent) {
    arguments = parent->arguments();
    leftOut = parent->argumentsLeftOut();
  }
  auto answer = KRVAnswerPrompt(prompt, arguments, leftOut);
  if (leftOut != 0 && isPasswordRequest(prompt) && (answer.status != 1 || !answer.output.empty())) std::abort();
  keychain::setDefaultStore(nullptr);
  return 0;
}
