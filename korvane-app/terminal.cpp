#include "terminal.h"

#include <unistd.h>

#include <cstdio>

#include "platform/svnclient/svnclient.h"
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

}  // namespace

int carryOutInTerminal(const ReceivedCommand& command, bool confirmed) {
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
  if (command.action == "commit") {
    if (!confirm("Commit " + items(paths.size()) + "?", confirmed)) return refuse("commit");
    return finish(svnclient::commit(paths, "Committed from the file manager", session));
  }
  if (command.action == "revert") {
    std::string error;
    auto changes = svnclient::revertCandidates(paths, appwork::badgeFor, session, &error);
    if (!changes) return finish({false, false, error});
    if (changes->empty()) {
      std::printf("Nothing to revert.\n");
      return 0;
    }
    for (const auto& change : *changes) std::fprintf(stderr, "%c %s\n", change.letter, change.path.c_str());
    if (!confirm("Revert " + items(changes->size()) + "?", confirmed)) return refuse("revert");
    const auto outcome = svnclient::revert(paths, *changes, appwork::badgeFor, session);
    if (outcome.ok) std::printf("Reverted %s.\n", items(changes->size()).c_str());
    return finish(outcome);
  }
  return 1;
}
