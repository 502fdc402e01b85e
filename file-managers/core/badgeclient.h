// The file manager's end of the Finder Sync bus, shared by the file-manager
// modules and finder-cli: it follows the finder-extension service and keeps a
// path -> badge map so that a file manager can answer at once.
//
// Contract:
// - One BadgeClient per process. create() is called on the thread whose
//   thread-default GMainContext runs the file manager's (or finder-cli's)
//   main loop; every member must be called on that thread, and every
//   callback runs there, from that context. The client has no thread of its
//   own and never makes a synchronous bus call.
// - Every bus call is asynchronous and bounded by Options::timeout; a stopped
//   or absent service never blocks the caller. The first call that needs the
//   service (fetching its folders, at start) lets the bus start it.
// - badgeForPath() answers from the map only. A path it does not know yet is
//   asked for in the next batched RequestBadges (all such paths of one
//   main-loop turn go in one call) when it lies inside one of the service's
//   folders, and the folder holding it is observed. The answers arrive as
//   BadgesChanged; the owner hears which paths changed. A path that is not
//   valid UTF-8 cannot be named on the bus: it has no badge ("") and is
//   never sent, nor is a folder of such a name observed.
// - When the service appears, the client fetches its folders and menus,
//   observes again the folders it observed and asks again for the badges it
//   held; when it goes away, every badge is cleared and the owner is told.
// - A path asked for while outside the service's folders (or before they
//   were known) is remembered, a bounded number of them: when a folder that
//   holds it arrives (at start, or a working copy is added while a file
//   manager shows it), it is asked for then, and its listeners hear of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace filemanagers {

class BadgeClient : public std::enable_shared_from_this<BadgeClient> {
 public:
  // A listener's registration; destroying it (before or after the client)
  // ends the listening.
  class Subscription {
   public:
    Subscription() = default;
    Subscription(Subscription&& other) noexcept;
    Subscription& operator=(Subscription&& other) noexcept;
    ~Subscription();

   private:
    friend class BadgeClient;
    Subscription(std::weak_ptr<BadgeClient> client, std::uint64_t id) : p_client(std::move(client)), p_id(id) {}
    void p_end();
    std::weak_ptr<BadgeClient> p_client;
    std::uint64_t p_id = 0;
  };

  struct Menu {
    bool present = false;
    std::string title;
    std::vector<std::pair<std::string, std::string>> items;  // (title, action); ("", "") = separator
  };
  struct Options {
    std::chrono::milliseconds timeout{5000};
  };

  // Starts connecting to the session bus (asynchronously); nullptr with the
  // reason in *error when there is no session bus address at all.
  static std::shared_ptr<BadgeClient> create(Options options, std::string* error);
  ~BadgeClient();
  BadgeClient(const BadgeClient&) = delete;
  BadgeClient& operator=(const BadgeClient&) = delete;

  // The badge of path ("" = known to have none), or nullopt when not known
  // yet. Paths are absolute and standardised (no "." or ".." or trailing "/").
  std::optional<std::string> badgeForPath(const std::string& path);
  // BeginObservingDirectory, once per folder until forgotten.
  void observeDirectory(const std::string& dir);
  // EndObservingDirectory; the badges of the folder's entries leave the map.
  void forgetDirectory(const std::string& dir);

  // The folders the service watches (DirectoryURLs), kept current; empty
  // while the service is absent.
  const std::vector<std::string>& directoryURLs() const;
  bool isInsideWatchedFolder(const std::string& path) const;
  // True once the service's folders were fetched, until it goes away.
  bool serviceRunning() const;
  // The message of the latest failed bus call or connection, "" if none.
  const std::string& lastError() const;
  // Bus calls sent or about to be sent whose answer has not come yet; a
  // short-lived tool waits for 0 before it exits, so that nothing is lost.
  std::size_t callsInFlight() const;

  // Cached GetMenu(kind) for kind 0 (selected items) and 1 (the folder
  // shown); nullopt until fetched.
  std::optional<Menu> menu(std::uint32_t kind) const;
  // ChooseMenuItem; done(ok, error message) runs on the client's context.
  void chooseMenuItem(const std::string& action, const std::vector<std::string>& selected,
                      const std::string& targeted,
                      std::function<void(bool ok, const std::string& error)> done = {});

  // Owner callbacks, on the client's context: the paths whose badge in the
  // map changed (all of them when the service went away); the folders
  // changed; the service came (folders fetched) or went (or could not be
  // reached: lastError() says why).
  void onBadgesChanged(std::function<void(const std::vector<std::string>& paths)> handler);
  // Any number of listeners hear the same paths, after the owner: each
  // plugin of a file manager that shares the client listens on its own.
  [[nodiscard]] Subscription subscribeBadgesChanged(std::function<void(const std::vector<std::string>& paths)> handler);
  void onDirectoryURLsChanged(std::function<void(const std::vector<std::string>& dirs)> handler);
  void onServiceChanged(std::function<void(bool running)> handler);
  // Menus fetched (both kinds), after the service appeared.
  void onMenusChanged(std::function<void()> handler);
  // Every (path, badge) the service announces, in order, whether the map
  // keeps it or not: for tools that show the bus traffic.
  void onBadgesAnnounced(std::function<void(const std::vector<std::pair<std::string, std::string>>&)> handler);

 private:
  struct State;
  explicit BadgeClient(Options options);
  std::unique_ptr<State> p_state;
};

}  // namespace filemanagers
