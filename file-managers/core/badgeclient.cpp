// The client core: follows the finder-extension service on the session bus
// and keeps the path -> badge map the file managers answer from.
#include "file-managers/core/badgeclient.h"

#include <gio/gio.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string_view>
#include <unordered_set>

#include "file-managers/core/paths.h"
#include "platform/findersync/busnames.h"

namespace filemanagers {

namespace {

using findersync::kBusName;
using findersync::kInterfaceName;
using findersync::kObjectPath;
using Reply = std::function<void(GVariant* reply, const std::string& error)>;

// Paths remembered for when their folder arrives: the user may browse
// anywhere, so at most this many are kept.
constexpr std::size_t kMaxWaitingForDirs = 20000;

std::vector<std::string> strings(GVariant* array) {
  std::vector<std::string> result;
  GVariantIter iter;
  g_variant_iter_init(&iter, array);
  const char* s = nullptr;
  while (g_variant_iter_next(&iter, "&s", &s)) result.emplace_back(s);
  return result;
}

// A bus string must be UTF-8: a path that is not cannot be asked about (the
// service could not badge it anyway), and sent along it would make the
// service refuse the whole call.
bool fitsABusString(const std::string& path) {
  return g_utf8_validate(path.data(), static_cast<gssize>(path.size()), nullptr);
}

std::string describe(GError* gerror, std::chrono::milliseconds timeout) {
  if (g_error_matches(gerror, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
      g_error_matches(gerror, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)) {
    return "finder-extension is not running on the session bus (nothing owns " + kBusName +
           ", and the bus cannot start it)";
  }
  if (g_error_matches(gerror, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
      g_error_matches(gerror, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY) ||
      g_error_matches(gerror, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT)) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(timeout.count()) / 1000.0);
    return std::string("finder-extension did not answer within ") + seconds + " s";
  }
  if (g_dbus_error_is_remote_error(gerror)) g_dbus_error_strip_remote_error(gerror);
  return gerror->message;
}

}  // namespace

struct BadgeClient::State {
  Options options;
  std::weak_ptr<BadgeClient> self;
  GMainContext* context = nullptr;
  GCancellable* cancellable = g_cancellable_new();
  GDBusConnection* connection = nullptr;
  bool connectionFailed = false;
  std::vector<std::function<void()>> untilConnected;  // calls made while connecting
  std::vector<guint> subscriptions;
  gulong closedHandler = 0;

  // Raised whenever the service goes away: replies to calls made before are
  // about a service that is no more.
  unsigned epoch = 0;
  bool running = false;
  bool fetching = false;
  gint64 lastFetch = 0;
  std::vector<std::string> dirs;
  std::map<std::string, std::string> badges;
  std::unordered_set<std::string> asked;     // sent or queued, not answered yet
  std::vector<std::string> queue;            // for the next RequestBadges
  std::set<std::string> waitingForDirs;      // asked for while outside the service's (known) folders
  std::set<std::string> observed;
  std::optional<Menu> menus[2];
  GSource* flushSource = nullptr;
  std::size_t inFlight = 0;
  std::string error;

  std::function<void(const std::vector<std::string>&)> badgesChanged;
  std::map<std::uint64_t, std::function<void(const std::vector<std::string>&)>> badgeListeners;
  std::uint64_t lastListener = 0;
  std::function<void(const std::vector<std::string>&)> dirsChanged;
  std::function<void(bool)> serviceChanged;
  std::function<void()> menusChanged;
  std::function<void(const std::vector<std::pair<std::string, std::string>>&)> badgesAnnounced;

  ~State() {
    if (flushSource != nullptr) {
      g_source_destroy(flushSource);
      g_source_unref(flushSource);
    }
    g_cancellable_cancel(cancellable);
    if (connection != nullptr) {
      for (guint id : subscriptions) g_dbus_connection_signal_unsubscribe(connection, id);
      if (closedHandler != 0) g_signal_handler_disconnect(connection, closedHandler);
      // Not closed: replies still in flight finish against the cancellable.
      g_object_unref(connection);
    }
    g_object_unref(cancellable);
    g_main_context_unref(context);
  }

  int timeoutMs() const { return static_cast<int>(std::min<long long>(options.timeout.count(), G_MAXINT)); }

  bool inside(const std::string& path) const {
    return std::any_of(dirs.begin(), dirs.end(), [&](const std::string& dir) { return isInsideFolder(path, dir); });
  }

  void notifyBadges(const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    if (badgesChanged) badgesChanged(paths);
    // A listener may end its own or another's subscription while it runs.
    std::vector<std::uint64_t> ids;
    for (const auto& entry : badgeListeners) ids.push_back(entry.first);
    for (auto id : ids) {
      auto it = badgeListeners.find(id);
      if (it == badgeListeners.end()) continue;
      auto listener = it->second;
      listener(paths);
    }
  }

  void waitForDirs(const std::string& path) {
    if (waitingForDirs.size() >= kMaxWaitingForDirs) waitingForDirs.clear();
    waitingForDirs.insert(path);
  }

  // The remembered paths that lie in the service's folders now are asked for.
  void askWaitingInsideDirs() {
    if (!running) return;
    for (auto it = waitingForDirs.begin(); it != waitingForDirs.end();) {
      if (!inside(*it)) {
        ++it;
        continue;
      }
      enqueue(*it);
      it = waitingForDirs.erase(it);
    }
  }

  // An asynchronous method call on the service (or on dest); done runs on
  // the client's context unless the client is gone by then.
  void call(const char* dest, const char* path, const char* iface, const char* method, GVariant* parameters,
            const char* replyType, Reply done) {
    std::shared_ptr<GVariant> held(parameters != nullptr ? g_variant_ref_sink(parameters) : nullptr,
                                   [](GVariant* v) { if (v != nullptr) g_variant_unref(v); });
    ++inFlight;
    if (connection == nullptr && !connectionFailed) {
      std::string d = dest, p = path, i = iface, m = method, r = replyType != nullptr ? replyType : "";
      untilConnected.push_back([this, d, p, i, m, held, r, done = std::move(done)] {
        --inFlight;  // counted again when sent
        call(d.c_str(), p.c_str(), i.c_str(), m.c_str(), held.get(), r.empty() ? nullptr : r.c_str(), done);
      });
      return;
    }
    Reply finished = [this, done = std::move(done)](GVariant* reply, const std::string& message) {
      --inFlight;
      if (done) done(reply, message);
    };
    if (connection == nullptr) {
      finished(nullptr, error);
      return;
    }
    struct Pending {
      std::weak_ptr<BadgeClient> self;
      Reply done;
      std::chrono::milliseconds timeout;
    };
    auto* pending = new Pending{self, std::move(finished), options.timeout};
    g_dbus_connection_call(
        connection, dest, path, iface, method, held.get(), replyType != nullptr ? G_VARIANT_TYPE(replyType) : nullptr,
        G_DBUS_CALL_FLAGS_NONE, timeoutMs(), cancellable,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
          GError* gerror = nullptr;
          GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &gerror);
          auto client = pending->self.lock();
          if (client) {
            pending->done(reply, reply != nullptr ? std::string() : describe(gerror, pending->timeout));
          }
          if (reply != nullptr) g_variant_unref(reply);
          g_clear_error(&gerror);
        },
        pending);
  }

  void callService(const char* method, GVariant* parameters, const char* replyType, Reply done) {
    call(kBusName.c_str(), kObjectPath.c_str(), kInterfaceName.c_str(), method, parameters, replyType,
         std::move(done));
  }

  // Observation and badge requests need no answer; a failure is only noted
  // (a request that failed may be asked again).
  Reply noteFailure() {
    return [this](GVariant*, const std::string& message) {
      if (!message.empty()) error = message;
    };
  }

  void connected(GDBusConnection* newConnection) {
    connection = newConnection;
    auto subscribe = [&](const char* sender, const char* iface, const char* member, const char* path,
                         const char* arg0, GDBusSignalCallback callback) {
      subscriptions.push_back(g_dbus_connection_signal_subscribe(
          connection, sender, iface, member, path, arg0, G_DBUS_SIGNAL_FLAGS_NONE, callback,
          new std::weak_ptr<BadgeClient>(self),
          [](gpointer data) { delete static_cast<std::weak_ptr<BadgeClient>*>(data); }));
    };
    subscribe(kBusName.c_str(), kInterfaceName.c_str(), "BadgesChanged", kObjectPath.c_str(), nullptr,
              [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                 gpointer data) {
                if (auto client = static_cast<std::weak_ptr<BadgeClient>*>(data)->lock()) {
                  if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a(ss))"))) {
                    client->p_state->applyBadges(parameters);
                  }
                }
              });
    subscribe(kBusName.c_str(), kInterfaceName.c_str(), "DirectoryURLsChanged", kObjectPath.c_str(), nullptr,
              [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                 gpointer data) {
                if (auto client = static_cast<std::weak_ptr<BadgeClient>*>(data)->lock()) {
                  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(as)"))) return;
                  GVariant* paths = g_variant_get_child_value(parameters, 0);
                  client->p_state->setDirs(strings(paths));
                  g_variant_unref(paths);
                }
              });
    subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
              kBusName.c_str(),
              [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                 gpointer data) {
                auto client = static_cast<std::weak_ptr<BadgeClient>*>(data)->lock();
                if (!client || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) return;
                const char* name = nullptr;
                const char* oldOwner = nullptr;
                const char* newOwner = nullptr;
                g_variant_get(parameters, "(&s&s&s)", &name, &oldOwner, &newOwner);
                if (oldOwner[0] != '\0') client->p_state->vanished();
                if (newOwner[0] != '\0') client->p_state->fetchDirs();
              });
    closedHandler = g_signal_connect_data(
        connection, "closed",
        G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer data) {
          if (auto client = static_cast<std::weak_ptr<BadgeClient>*>(data)->lock()) {
            client->p_state->error = "the session bus connection closed";
            client->p_state->vanished();
          }
        }),
        new std::weak_ptr<BadgeClient>(self),
        [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<BadgeClient>*>(data); }, GConnectFlags{});
    auto deferred = std::move(untilConnected);
    for (auto& run : deferred) run();
    fetchDirs();
  }

  void connectionFailedWith(const std::string& message) {
    connectionFailed = true;
    error = "cannot connect to the session bus: " + message;
    auto deferred = std::move(untilConnected);
    for (auto& run : deferred) run();  // each fails with the error
    if (serviceChanged) serviceChanged(false);
  }

  // Reading the folders is the call that lets the bus start the service; its
  // answer is what makes the client consider the service running.
  void fetchDirs() {
    if (fetching) return;
    fetching = true;
    lastFetch = g_get_monotonic_time();
    unsigned at = epoch;
    call(kBusName.c_str(), kObjectPath.c_str(), "org.freedesktop.DBus.Properties", "Get",
         g_variant_new("(ss)", kInterfaceName.c_str(), "DirectoryURLs"), "(v)",
         [this, at](GVariant* reply, const std::string& message) {
           fetching = false;
           if (at != epoch) {
             // The service went away meanwhile; ask the one there now, if any.
             if (connection != nullptr && !g_dbus_connection_is_closed(connection)) fetchDirs();
             return;
           }
           if (reply == nullptr) {
             error = message;
             if (serviceChanged) serviceChanged(false);
             return;
           }
           GVariant* value = nullptr;
           g_variant_get(reply, "(v)", &value);
           std::vector<std::string> fetched =
               g_variant_is_of_type(value, G_VARIANT_TYPE("as")) ? strings(value) : std::vector<std::string>{};
           g_variant_unref(value);
           appeared(std::move(fetched));
         });
  }

  void appeared(std::vector<std::string> fetched) {
    running = true;
    setDirs(std::move(fetched));
    fetchMenus();
    for (const auto& dir : observed) callService("BeginObservingDirectory", g_variant_new("(s)", dir.c_str()), nullptr, noteFailure());
    // setDirs asks only when the folders changed; they may have come with a
    // DirectoryURLsChanged before the service counted as running.
    askWaitingInsideDirs();
    if (serviceChanged) serviceChanged(true);
  }

  void vanished() {
    ++epoch;
    bool wasRunning = running;
    running = false;
    // What the client had or was asking for is asked again when the service is back.
    std::vector<std::string> cleared;
    for (auto& [path, badge] : badges) {
      if (!badge.empty()) cleared.push_back(path);
      waitingForDirs.insert(path);
    }
    waitingForDirs.insert(asked.begin(), asked.end());
    badges.clear();
    asked.clear();
    queue.clear();
    bool hadDirs = !dirs.empty();
    dirs.clear();
    notifyBadges(cleared);
    if (hadDirs && dirsChanged) dirsChanged(dirs);
    if (wasRunning && serviceChanged) serviceChanged(false);
  }

  void fetchMenus() {
    for (std::uint32_t kind : {0u, 1u}) {
      unsigned at = epoch;
      callService("GetMenu", g_variant_new("(u)", kind), "(bsa(ss))",
                  [this, kind, at](GVariant* reply, const std::string& message) {
                    if (reply == nullptr) {
                      error = message;
                      return;
                    }
                    if (at != epoch) return;
                    Menu menu;
                    gboolean present = FALSE;
                    const char* title = nullptr;
                    GVariantIter* items = nullptr;
                    g_variant_get(reply, "(b&sa(ss))", &present, &title, &items);
                    menu.present = present;
                    menu.title = title;
                    const char* itemTitle = nullptr;
                    const char* action = nullptr;
                    while (g_variant_iter_next(items, "(&s&s)", &itemTitle, &action)) {
                      menu.items.emplace_back(itemTitle, action);
                    }
                    g_variant_iter_free(items);
                    menus[kind] = std::move(menu);
                    if (menus[0] && menus[1] && menusChanged) menusChanged();
                  });
    }
  }

  void setDirs(std::vector<std::string> fetched) {
    std::sort(fetched.begin(), fetched.end());
    if (fetched == dirs) return;
    dirs = std::move(fetched);
    // Badges of items no longer in a watched folder are gone.
    std::vector<std::string> cleared;
    for (auto it = badges.begin(); it != badges.end();) {
      if (inside(it->first)) {
        ++it;
        continue;
      }
      if (!it->second.empty()) cleared.push_back(it->first);
      it = badges.erase(it);
    }
    notifyBadges(cleared);
    askWaitingInsideDirs();
    if (dirsChanged) dirsChanged(dirs);
  }

  void applyBadges(GVariant* parameters) {
    // Children are read directly: a format string parsed per pair costs more than the pair.
    GVariant* changes = g_variant_get_child_value(parameters, 0);
    gsize count = g_variant_n_children(changes);
    std::vector<std::string> changed;
    std::vector<std::pair<std::string, std::string>> announced;
    if (badgesAnnounced) announced.reserve(count);
    for (gsize i = 0; i < count; ++i) {
      GVariant* pair = g_variant_get_child_value(changes, i);
      GVariant* pathValue = g_variant_get_child_value(pair, 0);
      GVariant* badgeValue = g_variant_get_child_value(pair, 1);
      gsize pathLength = 0;
      gsize badgeLength = 0;
      const char* path = g_variant_get_string(pathValue, &pathLength);
      const char* badge = g_variant_get_string(badgeValue, &badgeLength);
      std::string_view badgeView(badge, badgeLength);
      if (badgesAnnounced) announced.emplace_back(std::string(path, pathLength), badgeView);
      std::string key(path, pathLength);
      bool wanted = asked.erase(key) != 0;
      auto it = badges.lower_bound(key);
      if (it == badges.end() || it->first != key) {
        // Answers to other clients matter only in folders this one shows.
        if (wanted || observed.count(parentFolder(key)) != 0) {
          badges.emplace_hint(it, key, badgeView);
          changed.push_back(std::move(key));
        }
      } else if (it->second != badgeView) {
        it->second = badgeView;
        changed.push_back(std::move(key));
      }
      g_variant_unref(badgeValue);
      g_variant_unref(pathValue);
      g_variant_unref(pair);
    }
    g_variant_unref(changes);
    if (!announced.empty()) badgesAnnounced(announced);
    notifyBadges(changed);
  }

  void enqueue(const std::string& path) {
    if (!asked.insert(path).second) return;
    queue.push_back(path);
    std::string dir = parentFolder(path);
    if (inside(dir)) observe(dir);
    if (flushSource != nullptr) return;
    // One RequestBadges for everything asked during this main-loop turn.
    flushSource = g_idle_source_new();
    g_source_set_priority(flushSource, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        flushSource,
        [](gpointer data) -> gboolean {
          if (auto client = static_cast<std::weak_ptr<BadgeClient>*>(data)->lock()) client->p_state->flush();
          return G_SOURCE_REMOVE;
        },
        new std::weak_ptr<BadgeClient>(self), [](gpointer data) { delete static_cast<std::weak_ptr<BadgeClient>*>(data); });
    g_source_attach(flushSource, context);
  }

  void flush() {
    g_source_unref(flushSource);
    flushSource = nullptr;
    if (queue.empty()) return;
    GVariantBuilder paths;
    g_variant_builder_init(&paths, G_VARIANT_TYPE("as"));
    for (const auto& path : queue) g_variant_builder_add(&paths, "s", path.c_str());
    unsigned at = epoch;
    callService("RequestBadges", g_variant_new("(as)", &paths), nullptr,
                [this, at, batch = std::move(queue)](GVariant* reply, const std::string& message) {
                  if (reply != nullptr) return;
                  error = message;
                  // Not asked after all: the next look at these paths asks again.
                  if (at == epoch) {
                    for (const auto& path : batch) asked.erase(path);
                  }
                });
    queue.clear();
  }

  void observe(const std::string& dir) {
    if (!fitsABusString(dir) || !observed.insert(dir).second || !running) return;
    callService("BeginObservingDirectory", g_variant_new("(s)", dir.c_str()), nullptr, noteFailure());
  }
};

BadgeClient::BadgeClient(Options options) : p_state(std::make_unique<State>()) {
  p_state->options = options;
  p_state->context = g_main_context_ref_thread_default();
}

BadgeClient::~BadgeClient() = default;

std::shared_ptr<BadgeClient> BadgeClient::create(Options options, std::string* error) {
  GError* gerror = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &gerror);
  if (address == nullptr) {
    if (error != nullptr) *error = std::string("cannot connect to the session bus: ") + gerror->message;
    g_error_free(gerror);
    return nullptr;
  }
  std::shared_ptr<BadgeClient> client(new BadgeClient(options));
  client->p_state->self = client;
  // A connection of its own: closing it on exit ends only this client's use.
  g_dbus_connection_new_for_address(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, client->p_state->cancellable,
      [](GObject*, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::weak_ptr<BadgeClient>> self(static_cast<std::weak_ptr<BadgeClient>*>(data));
        GError* gerror = nullptr;
        GDBusConnection* connection = g_dbus_connection_new_for_address_finish(result, &gerror);
        auto client = self->lock();
        if (!client) {
          if (connection != nullptr) g_object_unref(connection);
          g_clear_error(&gerror);
          return;
        }
        if (connection == nullptr) {
          client->p_state->connectionFailedWith(gerror->message);
          g_error_free(gerror);
          return;
        }
        client->p_state->connected(connection);
      },
      new std::weak_ptr<BadgeClient>(client));
  g_free(address);
  return client;
}

std::optional<std::string> BadgeClient::badgeForPath(const std::string& path) {
  State& s = *p_state;
  if (auto it = s.badges.find(path); it != s.badges.end()) return it->second;
  if (!fitsABusString(path)) return std::string();
  if (!s.running) {
    s.waitForDirs(path);
    // No service: a look some time after the last try tries again (the bus
    // may start it by now).
    if (s.connection != nullptr && !s.fetching && g_get_monotonic_time() - s.lastFetch >= s.options.timeout.count() * 1000) {
      s.fetchDirs();
    }
    return std::nullopt;
  }
  if (!s.inside(path)) {
    s.waitForDirs(path);
    return std::string();
  }
  s.enqueue(path);
  return std::nullopt;
}

void BadgeClient::observeDirectory(const std::string& dir) { p_state->observe(dir); }

void BadgeClient::forgetDirectory(const std::string& dir) {
  State& s = *p_state;
  if (s.observed.erase(dir) == 0) return;
  if (s.running) s.callService("EndObservingDirectory", g_variant_new("(s)", dir.c_str()), nullptr, s.noteFailure());
  std::string prefix = dir == "/" ? "/" : dir + "/";
  for (auto it = s.badges.lower_bound(prefix); it != s.badges.end() && it->first.starts_with(prefix);) {
    if (it->first.find('/', prefix.size()) == std::string::npos) {
      it = s.badges.erase(it);
    } else {
      ++it;
    }
  }
}

const std::vector<std::string>& BadgeClient::directoryURLs() const { return p_state->dirs; }
bool BadgeClient::isInsideWatchedFolder(const std::string& path) const { return p_state->inside(path); }
bool BadgeClient::serviceRunning() const { return p_state->running; }
const std::string& BadgeClient::lastError() const { return p_state->error; }
std::size_t BadgeClient::callsInFlight() const { return p_state->inFlight; }

std::optional<BadgeClient::Menu> BadgeClient::menu(std::uint32_t kind) const {
  if (kind > 1) return std::nullopt;
  return p_state->menus[kind];
}

void BadgeClient::chooseMenuItem(const std::string& action, const std::vector<std::string>& selected,
                                 const std::string& targeted, std::function<void(bool, const std::string&)> done) {
  GVariantBuilder paths;
  g_variant_builder_init(&paths, G_VARIANT_TYPE("as"));
  for (const auto& path : selected) g_variant_builder_add(&paths, "s", path.c_str());
  p_state->callService("ChooseMenuItem", g_variant_new("(sass)", action.c_str(), &paths, targeted.c_str()), nullptr,
                       [this, done = std::move(done)](GVariant* reply, const std::string& message) {
                         if (reply == nullptr) p_state->error = message;
                         if (done) done(reply != nullptr, message);
                       });
}

void BadgeClient::onBadgesChanged(std::function<void(const std::vector<std::string>&)> handler) {
  p_state->badgesChanged = std::move(handler);
}
BadgeClient::Subscription BadgeClient::subscribeBadgesChanged(
    std::function<void(const std::vector<std::string>&)> handler) {
  const auto id = ++p_state->lastListener;
  p_state->badgeListeners.emplace(id, std::move(handler));
  return Subscription(p_state->self, id);
}

BadgeClient::Subscription::Subscription(Subscription&& other) noexcept
    : p_client(std::move(other.p_client)), p_id(std::exchange(other.p_id, 0)) {}

BadgeClient::Subscription& BadgeClient::Subscription::operator=(Subscription&& other) noexcept {
  if (this != &other) {
    p_end();
    p_client = std::move(other.p_client);
    p_id = std::exchange(other.p_id, 0);
  }
  return *this;
}

BadgeClient::Subscription::~Subscription() { p_end(); }

void BadgeClient::Subscription::p_end() {
  if (auto client = p_client.lock()) client->p_state->badgeListeners.erase(p_id);
  p_client.reset();
  p_id = 0;
}

void BadgeClient::onDirectoryURLsChanged(std::function<void(const std::vector<std::string>&)> handler) {
  p_state->dirsChanged = std::move(handler);
}
void BadgeClient::onServiceChanged(std::function<void(bool)> handler) { p_state->serviceChanged = std::move(handler); }
void BadgeClient::onMenusChanged(std::function<void()> handler) { p_state->menusChanged = std::move(handler); }
void BadgeClient::onBadgesAnnounced(
    std::function<void(const std::vector<std::pair<std::string, std::string>>&)> handler) {
  p_state->badgesAnnounced = std::move(handler);
}

}  // namespace filemanagers
