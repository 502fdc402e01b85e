#include "terminal.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "platform/svnclient/svnclient.h"
#include "work/messages.h"
#include "work/settings.h"

namespace {

bool confirm(const std::string& question, bool confirmed) {
  if (confirmed) return true;
  if (!isatty(STDIN_FILENO)) return false;
  std::fprintf(stderr, "%s [y/N] ", question.c_str());
  char answer[16] = {};
  if (std::fgets(answer, sizeof answer, stdin) == nullptr) return false;
  return answer[0] == 'y' || answer[0] == 'Y';
}

int refuse(const std::string& action) {
  std::fprintf(stderr, "korvane-app: %s needs confirmation: run it on a terminal or pass --yes\n", action.c_str());
  return 1;
}

int finish(const svnclient::Outcome& outcome) {
  if (outcome.ok) return 0;
  std::fprintf(stderr, "korvane-app: %s\n", outcome.error.c_str());
  return 1;
}

std::string items(std::size_t count) { return std::to_string(count) + (count == 1 ? " item" : " items"); }

bool blank(const std::string& text) { return text.find_first_not_of(" \t\r\n\v\f") == std::string::npos; }

// The message typed on the terminal, up to an empty line or the end of input.
std::string readMessage(std::size_t count) {
  std::fprintf(stderr, "Commit %s. Type the message; an empty line or Ctrl-D ends it, and an empty message commits "
                       "nothing:\n", items(count).c_str());
  std::string message;
  for (std::string line; std::getline(std::cin, line) && !blank(line);)
    message += (message.empty() ? "" : "\n") + line;
  return message;
}

int commit(const std::vector<std::string>& paths, const TerminalOptions& options, const svnclient::Session& session) {
  std::string message;
  if (options.message) {
    message = *options.message;
  } else if (options.confirmed || !isatty(STDIN_FILENO)) {
    // Never a message the user did not write.
    std::fprintf(stderr, "korvane-app: commit needs a message: %s; nothing committed\n",
                 options.confirmed ? "with --yes, pass --message TEXT"
                                   : "pass --message TEXT, or run it on a terminal");
    return 1;
  } else {
    message = readMessage(paths.size());
  }
  if (blank(message)) {
    std::fprintf(stderr, "korvane-app: the commit message is empty: nothing committed\n");
    return 1;
  }
  // A message typed here is the confirmation; one given on the command line is asked about.
  if (options.message && !confirm("Commit " + items(paths.size()) + "?", options.confirmed)) return refuse("commit");
  // Recorded first, as the commit dialog does: if the commit fails, the
  // message can be picked again.
  std::string error;
  const bool remembered = appwork::rememberMessage(message, &error);
  if (!remembered)
    std::fprintf(stderr, "korvane-app: the message could not be kept for next time: %s\n", error.c_str());
  const auto outcome = svnclient::commit(paths, message, session);
  if (!outcome.ok && !remembered) std::fprintf(stderr, "The message was:\n%s\n", message.c_str());
  return finish(outcome);
}

}  // namespace

int carryOutInTerminal(const ReceivedCommand& command, const TerminalOptions& options) {
  svnclient::Session session = appwork::baseSession();
  session.progress = [](const svnclient::Progress& progress) {
    std::printf("%-8s %s\n", progress.letter.c_str(), progress.path.c_str());
    std::fflush(stdout);
  };
  const auto& paths = command.paths;
  if (command.action == "reveal") return 0;
  if (command.action == "add") return finish(svnclient::add(paths, session));
  if (command.action == "ignore") return finish(svnclient::ignore(paths, session));
  if (command.action == "update") {
    const auto outcome = svnclient::update(paths, session);
    if (outcome.ok) std::printf("%s\n", svnclient::updateSummary(outcome).c_str());
    return finish(outcome);
  }
  if (command.action == "commit") return commit(paths, options, session);
  if (command.action == "revert") {
    std::string error;
    auto changes = svnclient::revertCandidates(paths, appwork::badgeFor, session, &error);
    if (!changes) return finish({false, false, error});
    if (changes->empty()) {
      std::printf("Nothing to revert.\n");
      return 0;
    }
    for (const auto& change : *changes) std::fprintf(stderr, "%c %s\n", change.letter, change.path.c_str());
    if (!confirm("Revert " + items(changes->size()) + "?", options.confirmed)) return refuse("revert");
    const auto outcome = svnclient::revert(paths, *changes, appwork::badgeFor, session);
    if (outcome.ok) std::printf("Reverted %s.\n", items(changes->size()).c_str());
    return finish(outcome);
  }
  return 1;
}
