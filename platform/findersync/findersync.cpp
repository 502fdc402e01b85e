#include "findersync.h"

namespace findersync {

namespace {
std::mutex installMutex;
std::shared_ptr<Controller> installed;  // guarded by installMutex
}  // namespace

std::shared_ptr<Controller> defaultController() {
  std::lock_guard lock(installMutex);
  return installed;
}

void setDefaultController(std::shared_ptr<Controller> controller) {
  std::lock_guard lock(installMutex);
  installed = std::move(controller);
}

void FakeController::setDirectoryURLs(const foundation::URLSet& urls) {
  std::lock_guard lock(mutex_);
  directoryCalls_.push_back(urls);
}

foundation::URLSet FakeController::directoryURLs() const {
  std::lock_guard lock(mutex_);
  return directoryCalls_.empty() ? foundation::URLSet{} : directoryCalls_.back();
}

void FakeController::setBadgeIdentifier(const std::string& identifier, const foundation::FileURL& url) {
  std::lock_guard lock(mutex_);
  badgeCalls_.emplace_back(identifier, url.path());
}

void FakeController::setBadgeImage(std::shared_ptr<const graphics::Image> image, const std::string& label,
                                   const std::string& identifier) {
  std::lock_guard lock(mutex_);
  imageCalls_.push_back({std::move(image), label, identifier});
}

std::vector<foundation::FileURL> FakeController::selectedItemURLs() const {
  std::lock_guard lock(mutex_);
  return selected_;
}

std::optional<foundation::FileURL> FakeController::targetedURL() const {
  std::lock_guard lock(mutex_);
  return targeted_;
}

void FakeController::setSelection(std::vector<foundation::FileURL> selected,
                                  std::optional<foundation::FileURL> targeted) {
  std::lock_guard lock(mutex_);
  selected_ = std::move(selected);
  targeted_ = std::move(targeted);
  failure_.reset();
}

void FakeController::reportMenuActionFailure(const std::string& reason) {
  std::lock_guard lock(mutex_);
  failure_ = reason;
}

std::optional<std::string> FakeController::menuActionFailure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

std::vector<foundation::URLSet> FakeController::directoryURLCalls() const {
  std::lock_guard lock(mutex_);
  return directoryCalls_;
}

std::vector<std::pair<std::string, std::string>> FakeController::badgeCalls() const {
  std::lock_guard lock(mutex_);
  return badgeCalls_;
}

std::vector<FakeController::BadgeImageCall> FakeController::badgeImageCalls() const {
  std::lock_guard lock(mutex_);
  return imageCalls_;
}

}  // namespace findersync
