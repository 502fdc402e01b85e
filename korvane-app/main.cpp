// korvane-app: a small stand-in for the Korvane application.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {
int usage() {
  std::fprintf(stderr, "usage: korvane-app COMMAND [ARGS...]\n\ncommands:\n");
  for (const auto& c : allCommands()) std::fprintf(stderr, "  %s %s\n", c.name, c.usage);
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  for (const auto& c : allCommands()) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(CommandArguments(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "korvane-app: unknown command \"%s\"\n", argv[1]);
  return usage();
}
