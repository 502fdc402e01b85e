#include "file-managers/dolphin/dolphinclient.h"

#include "file-managers/core/paths.h"

namespace korvanedolphin {

std::shared_ptr<filemanagers::BadgeClient> sharedClient() {
  // Created once and kept for the life of the process, like the plugins that
  // use it; a process without a session bus gets nullptr every time.
  static const std::shared_ptr<filemanagers::BadgeClient> client = [] {
    std::string error;
    return filemanagers::BadgeClient::create({}, &error);
  }();
  return client;
}

std::optional<std::string> localPath(const QUrl& url) {
  if (!url.isLocalFile()) return std::nullopt;
  return filemanagers::standardLocalPath(url.toLocalFile().toStdString());
}

}  // namespace korvanedolphin
