// The askpass tool's answer to one ssh prompt.
//
// Contract:
// - KRVAnswerPrompt() classifies the prompt (case-insensitive): a host-key
//   question holding "authenticity" and "yes/no" is answered "yes\n"; a
//   prompt holding "password:" gets the password stored for the host and
//   user named by the parent ssh's arguments (the argument before the first
//   "svnserve"), with nothing appended; any other prompt gets nothing.
// - A password request that cannot be served has status 1 and no output:
//   no parent arguments, some of them left out because they were not text
//   (the argument before "svnserve" might then be another than ssh's host;
//   one NSLog line says so), no "svnserve" among them or nothing before it, a
//   host that does not make a plain svn+ssh URL of its own, or a failed
//   keychain lookup. Everything else has status 0. The host may carry a
//   port ("host:2222"); the item is looked up for the host alone.
// - It reads the keychain through KCKeychain; nothing else.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct KRVAskpassAnswer {
  int status = 0;
  std::string output;  // the bytes to write to standard output

  KRVAskpassAnswer() = default;
  KRVAskpassAnswer(int status, std::string output) : status(status), output(std::move(output)) {}
  KRVAskpassAnswer(const KRVAskpassAnswer&) = delete;
  KRVAskpassAnswer& operator=(const KRVAskpassAnswer&) = delete;
  KRVAskpassAnswer(KRVAskpassAnswer&&) = default;
  KRVAskpassAnswer& operator=(KRVAskpassAnswer&&) = default;
  // The output may be a password: it is wiped, not just freed.
  ~KRVAskpassAnswer();
};

// parentArgumentsLeftOut: how many of the parent's arguments did not decode
// and are missing from parentArguments.
KRVAskpassAnswer KRVAnswerPrompt(const std::string& prompt,
                                 const std::optional<std::vector<std::string>>& parentArguments,
                                 std::size_t parentArgumentsLeftOut = 0);
