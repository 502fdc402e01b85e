// A synchronous client of the Finder Sync bus for the tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/findersync/findersync.h"

namespace testbus {

// A synchronous end of the Finder Sync bus, for tests that drive the host
// call by call (the file managers and finder-cli use the asynchronous
// client core). Single threaded: signals are delivered while the calling thread runs the main
// queue (runUntil). Every call waits at most timeout(); every failure comes
// back as false or nullopt with a one-line message in *error.
class Client {
 public:
  struct Menu {
    bool present = false;
    std::string title;
    std::vector<std::pair<std::string, std::string>> items;  // (title, action); ("", "") = separator
  };
  using BadgeChangedHandler = std::function<void(const std::string& path, const std::string& badge)>;
  using DirectoryURLsChangedHandler = std::function<void(const std::vector<std::string>& paths)>;
  using ServiceGoneHandler = std::function<void()>;

  // A new connection to the session bus of $DBUS_SESSION_BUS_ADDRESS, or
  // nullptr when there is none.
  static std::unique_ptr<Client> connect(std::chrono::milliseconds timeout, std::string* error);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool beginObservingDirectory(const std::string& path, std::string* error);
  bool endObservingDirectory(const std::string& path, std::string* error);
  bool requestBadge(const std::string& path, std::string* error);
  bool requestBadges(const std::vector<std::string>& paths, std::string* error);
  std::optional<Menu> getMenu(std::uint32_t kind, std::string* error);
  bool chooseMenuItem(const std::string& action, const std::vector<std::string>& selected,
                      const std::string& targeted, std::string* error);
  std::optional<std::vector<std::string>> directoryURLs(std::string* error);
  std::optional<std::vector<findersync::BadgeImageEntry>> badgeImages(std::string* error);
  // True when some process owns kBusName now (no activation).
  bool serviceIsRunning();

  // Handlers run on the main queue; set them before the calls whose
  // signals they should see.
  // Each (path, badge) of every BadgesChanged, in order.
  void onBadgeChanged(BadgeChangedHandler handler);
  // How many BadgesChanged signals came so far.
  size_t badgeSignals() const;
  void onDirectoryURLsChanged(DirectoryURLsChangedHandler handler);
  // The owner of kBusName left the bus, or the connection closed.
  void onServiceGone(ServiceGoneHandler handler);

  std::chrono::milliseconds timeout() const { return timeout_; }

 private:
  struct Subscriptions;
  Client(GDBusConnection* connection, std::chrono::milliseconds timeout);
  GVariant* call(const char* method, GVariant* parameters, const char* replyType,
                         std::string* error);
  GVariant* getProperty(const char* name, const char* type, std::string* error);

  GDBusConnection* connection_;
  std::chrono::milliseconds timeout_;
  std::unique_ptr<Subscriptions> subscriptions_;
};

}  // namespace testbus
