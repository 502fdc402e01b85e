// korvane-app store-password URL ACCOUNT: stores the password read from
// standard input as the internet password of URL and ACCOUNT in the shared
// access group, as the Korvane application stores svn+ssh passwords. The
// password is never taken from the command line, where other users could
// read it; one final line feed is dropped, as `echo` adds it. The host is
// stored in lower case, as svn hands it to ssh.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "commands.h"
#include "keychain-askpass/KCKeychain.h"
#include "keychain-askpass/KRVSharedItemsAccessGroup.h"
#include "platform/url/url.h"

namespace {

// Reads the password; at a terminal with echo off, after a prompt.
std::string readPassword() {
  termios saved{};
  bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  std::string password;
  if (terminal) {
    std::fputs("Password: ", stderr);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::getline(std::cin, password);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
    return password;
  }
  password.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  if (password.ends_with("\r\n")) password.resize(password.size() - 2);
  else if (password.ends_with('\n')) password.pop_back();
  return password;
}

int storePassword(const CommandArguments& args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: korvane-app store-password URL ACCOUNT < password\n");
    return 2;
  }
  auto url = url::URL::parse(args[0]);
  if (!url || !url->host || url->host->empty()) {
    std::fprintf(stderr, "korvane-app: \"%s\" is not a URL with a host\n", args[0].c_str());
    return 2;
  }
  // svn lower-cases the host of an svn+ssh URL before it hands it to ssh,
  // and the askpass tool looks up the host as ssh got it.
  std::transform(url->host->begin(), url->host->end(), url->host->begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string password = readPassword();
  KCError error;
  bool stored = KCKeychain::addOrUpdateInternetItem(std::nullopt, *url, args[1], password,
                                                    std::string(KRVSharedItemsAccessGroup), &error);
  keychain::wipe(password);
  if (!stored) {
    std::fprintf(stderr, "korvane-app: %s %s (%lld)\n", error.localizedFailure.value_or("").c_str(),
                 error.localizedFailureReason.value_or("").c_str(), static_cast<long long>(error.code));
    return 1;
  }
  return 0;
}

}  // namespace

extern const Command kStorePasswordCommand = {"store-password", "URL ACCOUNT  (password on standard input)",
                                              storePassword};
