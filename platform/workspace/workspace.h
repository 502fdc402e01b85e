// The workspace: where the extension's bundle lies, which application has a
// given identifier, and opening URLs with an application. Stands in for
// NSBundle's bundleURL and NSWorkspace.
//
// Contract:
// - mainBundleURL() is the extension's own bundle: on Linux, the folder that
//   holds the running executable (/proc/self/exe). Installed inside the
//   application, that is <Name>.app/Contents/PlugIns/<extension folder>/, so
//   the application bundle lies three folders above it. Tests replace it
//   with setMainBundleURL(); nullopt restores the executable's folder.
// - URLForApplicationWithBundleIdentifier(id) is the path of the desktop
//   entry "<id>.desktop" that the desktop's application folders give first
//   ($XDG_DATA_HOME/applications, then each $XDG_DATA_DIRS entry), or
//   nothing.
// - An application URL is either a desktop entry file or an application
//   bundle folder; a bundle is launched through the first desktop entry, in
//   name order, directly inside its Contents folder.
// - openURLs() launches the application's desktop entry with the URLs as its
//   arguments (its Exec line's %u or %U) and returns without waiting for the
//   application. It answers whether the launch was started; the extension
//   ignores the answer, as nothing is observed of the launch on the host.
// - Activation: with OpenConfiguration::activates set, the launched
//   process's environment carries an activation token in both
//   XDG_ACTIVATION_TOKEN (Wayland) and DESKTOP_STARTUP_ID (X11), the
//   variables through which a Linux desktop lets a launched application
//   raise its window. Without it, both variables are removed from the
//   process's environment, so the application stays in the background.
// - Every function may be called from any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/fileurl.h"

namespace workspace {

foundation::FileURL mainBundleURL();
void setMainBundleURL(std::optional<foundation::FileURL> url);

std::optional<foundation::FileURL> URLForApplicationWithBundleIdentifier(const std::string& bundleIdentifier);

// NSWorkspaceOpenConfiguration: the default brings the application to the front.
struct OpenConfiguration {
  bool activates = true;
};

bool openURLs(const std::vector<std::string>& urls, const foundation::FileURL& applicationURL,
              const OpenConfiguration& configuration);

}  // namespace workspace
