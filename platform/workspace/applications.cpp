// Finding applications and launching them with URLs, through GIO's
// desktop-entry launcher.
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/launchservices/launchservices.h"
#include "platform/uuid/uuid.h"
#include "platform/workspace/workspace.h"

namespace workspace {

namespace {

template <typename T>
struct GObjectDeleter {
  void operator()(T* object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter<T>>;

// The desktop entry that launches the application at url: the file itself,
// or for a bundle folder the first entry in its Contents folder.
std::optional<std::string> desktopEntryPath(const foundation::FileURL& url) {
  std::error_code ec;
  const std::filesystem::path path(url.path());
  if (std::filesystem::is_regular_file(path, ec)) return path.string();
  if (!std::filesystem::is_directory(path, ec)) return std::nullopt;

  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(path / "Contents", ec)) {
    if (entry.path().extension() == ".desktop" && entry.is_regular_file(ec)) entries.push_back(entry.path().string());
  }
  if (entries.empty()) return std::nullopt;
  return *std::min_element(entries.begin(), entries.end());
}

}  // namespace

std::optional<foundation::FileURL> URLForApplicationWithBundleIdentifier(const std::string& bundleIdentifier) {
  auto urls = launchservices::LSCopyApplicationURLsForBundleIdentifier(bundleIdentifier);
  if (!urls || urls->empty()) return std::nullopt;
  return urls->front();
}

bool openURLs(const std::vector<std::string>& urls, const foundation::FileURL& applicationURL,
              const OpenConfiguration& configuration) {
  auto entry = desktopEntryPath(applicationURL);
  if (!entry) return false;
  GObjectPtr<GDesktopAppInfo> application(g_desktop_app_info_new_from_filename(entry->c_str()));
  if (!application) return false;

  GObjectPtr<GAppLaunchContext> context(g_app_launch_context_new());
  if (configuration.activates) {
    const std::string token = "korvane-" + uuid::UUIDString();
    g_app_launch_context_setenv(context.get(), "XDG_ACTIVATION_TOKEN", token.c_str());
    g_app_launch_context_setenv(context.get(), "DESKTOP_STARTUP_ID", token.c_str());
  } else {
    g_app_launch_context_unsetenv(context.get(), "XDG_ACTIVATION_TOKEN");
    g_app_launch_context_unsetenv(context.get(), "DESKTOP_STARTUP_ID");
  }

  GList* list = nullptr;
  for (auto it = urls.rbegin(); it != urls.rend(); ++it) list = g_list_prepend(list, const_cast<char*>(it->c_str()));
  GError* error = nullptr;
  const bool launched = g_app_info_launch_uris(G_APP_INFO(application.get()), list, context.get(), &error);
  g_list_free(list);
  g_clear_error(&error);
  return launched;
}

}  // namespace workspace
