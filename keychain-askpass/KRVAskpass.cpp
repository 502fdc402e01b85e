#include "keychain-askpass/KRVAskpass.h"

#include <algorithm>
#include <cctype>

#include "keychain-askpass/KCKeychain.h"
#include "keychain-askpass/KRVSharedItemsAccessGroup.h"
#include "platform/nslog/nslog.h"
#include "platform/url/url.h"

namespace {

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool contains(const std::string& lowercasedText, const char* needle) {
  return lowercasedText.find(needle) != std::string::npos;
}

bool equalIgnoringCase(const std::string& a, const std::string& b) { return lowercased(a) == lowercased(b); }

// The svn+ssh URL of a host, which may carry a port (svn hands ssh
// "host:2222" for svn+ssh://host:2222/...; an IPv6 literal comes in
// brackets). Anything else (a path, query or other URL syntax, or a host the
// parser rewrote) is refused: it could name a different server than the one
// ssh connects to.
std::optional<url::URL> repositoryURL(const std::string& host) {
  auto url = url::URL::parse("svn+ssh://" + host);
  if (!url || !url->host || url->host->empty()) return std::nullopt;
  if (url->user || !url->path->empty() || url->query || url->fragment) return std::nullopt;
  std::string port;
  if (url->port != -1) port.append(":").append(std::to_string(url->port));
  std::string bracketed;
  bracketed.append("[").append(*url->host).append("]").append(port);
  if (!equalIgnoringCase(*url->host + port, host) && !equalIgnoringCase(bracketed, host)) return std::nullopt;
  return url;
}

KRVAskpassAnswer answerPassword(const std::optional<std::vector<std::string>>& parentArguments,
                                std::size_t leftOut) {
  if (!parentArguments) return {1, ""};
  // The list is short of what ssh was given, so "the argument before
  // svnserve" may be another one (a jump host's, say): no answer is safer
  // than a password sent to the wrong host.
  if (leftOut != 0) {
    nslog::NSLog(std::to_string(leftOut) + " of the parent's arguments " + (leftOut == 1 ? "is" : "are") +
                 " not valid text; no password is given, as the host cannot be told for sure");
    return {1, ""};
  }
  const auto& arguments = *parentArguments;
  auto svnserve = std::find(arguments.begin(), arguments.end(), "svnserve");
  // Without an argument before "svnserve" there is no host to ask for.
  if (svnserve == arguments.end() || svnserve == arguments.begin()) return {1, ""};
  const std::string& hostSpecification = *(svnserve - 1);

  std::optional<std::string> account;
  std::string host = hostSpecification;
  if (auto first = hostSpecification.find('@'); first != std::string::npos) {
    account = hostSpecification.substr(0, first);
    host = hostSpecification.substr(hostSpecification.rfind('@') + 1);
  }
  auto url = repositoryURL(host);
  if (!url) return {1, ""};

  auto query = KCKeychain::searchQueryForSSH(*url, account, std::string(KRVSharedItemsAccessGroup));
  KCError error;
  auto item = KCKeychain::keychainItemForQuery(query, &error);
  if (!item) return {1, ""};
  return {0, item->password().value_or("")};
}

}  // namespace

KRVAskpassAnswer::~KRVAskpassAnswer() { keychain::wipe(output); }

KRVAskpassAnswer KRVAnswerPrompt(const std::string& prompt,
                                 const std::optional<std::vector<std::string>>& parentArguments,
                                 std::size_t parentArgumentsLeftOut) {
  auto lowered = lowercased(prompt);
  if (contains(lowered, "authenticity") && contains(lowered, "yes/no")) return {0, "yes\n"};
  if (contains(lowered, "password:")) return answerPassword(parentArguments, parentArgumentsLeftOut);
  return {0, ""};
}
