#include "file-managers/core/badgeclient.h"

namespace filemanagers {

struct BadgeClient::State {
  Options options;
  std::vector<std::string> dirs;
  std::string error;
};

BadgeClient::BadgeClient(Options options) : p_state(std::make_unique<State>()) { p_state->options = options; }
BadgeClient::~BadgeClient() = default;

std::shared_ptr<BadgeClient> BadgeClient::create(Options options, std::string*) {
  return std::shared_ptr<BadgeClient>(new BadgeClient(options));
}

std::optional<std::string> BadgeClient::badgeForPath(const std::string&) { return std::nullopt; }
void BadgeClient::observeDirectory(const std::string&) {}
void BadgeClient::forgetDirectory(const std::string&) {}
const std::vector<std::string>& BadgeClient::directoryURLs() const { return p_state->dirs; }
bool BadgeClient::isInsideWatchedFolder(const std::string&) const { return false; }
bool BadgeClient::serviceRunning() const { return false; }
const std::string& BadgeClient::lastError() const { return p_state->error; }
std::optional<BadgeClient::Menu> BadgeClient::menu(std::uint32_t) const { return std::nullopt; }
void BadgeClient::chooseMenuItem(const std::string&, const std::vector<std::string>&, const std::string&,
                                 std::function<void(bool, const std::string&)> done) {
  if (done) done(false, "not implemented yet");
}
void BadgeClient::onBadgesChanged(std::function<void(const std::vector<std::string>&)>) {}
void BadgeClient::onDirectoryURLsChanged(std::function<void(const std::vector<std::string>&)>) {}
void BadgeClient::onServiceChanged(std::function<void(bool)>) {}
void BadgeClient::onMenusChanged(std::function<void()>) {}

}  // namespace filemanagers
