// An ssh prompt and the parent ssh's arguments (the user@host argument
// before "svnserve"), as keychain-askpass answers them. The input is the
// prompt, then after the first NUL the arguments, NUL-separated. No session
// bus is reachable, so a password lookup fails quickly instead of asking a
// real keyring.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "keychain-askpass/KRVAskpass.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/krv-fuzz-bus", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t end = input.find('\0');
  const std::string prompt = input.substr(0, end);
  std::optional<std::vector<std::string>> arguments;
  if (end != std::string::npos) {
    arguments.emplace();
    std::size_t start = end + 1;
    while (start <= input.size()) {
      std::size_t next = input.find('\0', start);
      if (next == std::string::npos) next = input.size();
      arguments->push_back(input.substr(start, next - start));
      start = next + 1;
    }
  }
  (void)KRVAnswerPrompt(prompt, arguments);
  return 0;
}
