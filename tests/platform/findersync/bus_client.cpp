#include "tests/platform/findersync/bus_client.h"

#include <gio/gio.h>

#include <algorithm>
#include <cstdio>

#include "platform/findersync/busconnection.h"

namespace testbus {

using findersync::kBusName;
using findersync::kInterfaceName;
using findersync::kObjectPath;
using findersync::openBusConnection;

struct Client::Subscriptions {
  BadgeChangedHandler badgeChanged;
  DirectoryURLsChangedHandler directoryURLsChanged;
  ServiceGoneHandler serviceGone;
  size_t badgeSignals = 0;
  guint badgeSubscription = 0;
  guint directorySubscription = 0;
  guint ownerSubscription = 0;
  gulong closedHandler = 0;

  static std::vector<std::string> strings(GVariant* array) {
    std::vector<std::string> result;
    GVariantIter iter;
    g_variant_iter_init(&iter, array);
    const char* s = nullptr;
    while (g_variant_iter_next(&iter, "&s", &s)) result.emplace_back(s);
    return result;
  }

  static void onBadgeChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                             GVariant* parameters, gpointer data) {
    auto* self = static_cast<Subscriptions*>(data);
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a(ss))"))) return;
    ++self->badgeSignals;
    if (!self->badgeChanged) return;
    GVariantIter* iter = nullptr;
    g_variant_get(parameters, "(a(ss))", &iter);
    const char* path = nullptr;
    const char* badge = nullptr;
    while (g_variant_iter_next(iter, "(&s&s)", &path, &badge)) self->badgeChanged(path, badge);
    g_variant_iter_free(iter);
  }

  static void onDirectoryURLsChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                     GVariant* parameters, gpointer data) {
    auto* self = static_cast<Subscriptions*>(data);
    if (!self->directoryURLsChanged || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(as)"))) return;
    GVariant* paths = g_variant_get_child_value(parameters, 0);
    self->directoryURLsChanged(strings(paths));
    g_variant_unref(paths);
  }

  static void onOwnerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                             GVariant* parameters, gpointer data) {
    auto* self = static_cast<Subscriptions*>(data);
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) return;
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &name, &oldOwner, &newOwner);
    if (newOwner[0] == '\0' && self->serviceGone) self->serviceGone();
  }

  static void onClosed(GDBusConnection*, gboolean, GError*, gpointer data) {
    auto* self = static_cast<Subscriptions*>(data);
    if (self->serviceGone) self->serviceGone();
  }
};

std::unique_ptr<Client> Client::connect(std::chrono::milliseconds timeout, std::string* error) {
  std::string reason;
  GDBusConnection* connection = openBusConnection(G_BUS_TYPE_SESSION, &reason);
  if (connection == nullptr) {
    *error = "cannot connect to the session bus: " + reason;
    return nullptr;
  }
  return std::unique_ptr<Client>(new Client(connection, timeout));
}

Client::Client(GDBusConnection* connection, std::chrono::milliseconds timeout)
    : connection_(connection), timeout_(timeout), subscriptions_(std::make_unique<Subscriptions>()) {
  Subscriptions* s = subscriptions_.get();
  s->badgeSubscription = g_dbus_connection_signal_subscribe(
      connection_, kBusName.c_str(), kInterfaceName.c_str(), "BadgesChanged", kObjectPath.c_str(), nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, Subscriptions::onBadgeChanged, s, nullptr);
  s->directorySubscription = g_dbus_connection_signal_subscribe(
      connection_, kBusName.c_str(), kInterfaceName.c_str(), "DirectoryURLsChanged", kObjectPath.c_str(), nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, Subscriptions::onDirectoryURLsChanged, s, nullptr);
  s->ownerSubscription = g_dbus_connection_signal_subscribe(
      connection_, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
      kBusName.c_str(), G_DBUS_SIGNAL_FLAGS_NONE, Subscriptions::onOwnerChanged, s, nullptr);
  s->closedHandler = g_signal_connect(connection_, "closed", G_CALLBACK(Subscriptions::onClosed), s);
}

Client::~Client() {
  g_dbus_connection_signal_unsubscribe(connection_, subscriptions_->badgeSubscription);
  g_dbus_connection_signal_unsubscribe(connection_, subscriptions_->directorySubscription);
  g_dbus_connection_signal_unsubscribe(connection_, subscriptions_->ownerSubscription);
  g_signal_handler_disconnect(connection_, subscriptions_->closedHandler);
  g_dbus_connection_close_sync(connection_, nullptr, nullptr);
  g_object_unref(connection_);
}

namespace {

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

int timeoutMilliseconds(std::chrono::milliseconds timeout) {
  return static_cast<int>(std::min<long long>(timeout.count(), G_MAXINT));
}

}  // namespace

GVariant* Client::call(const char* method, GVariant* parameters, const char* replyType, std::string* error) {
  GError* gerror = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(connection_, kBusName.c_str(), kObjectPath.c_str(),
                                                kInterfaceName.c_str(), method, parameters,
                                                G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE,
                                                timeoutMilliseconds(timeout_), nullptr, &gerror);
  if (reply == nullptr) {
    *error = describe(gerror, timeout_);
    g_error_free(gerror);
  }
  return reply;
}

GVariant* Client::getProperty(const char* name, const char* type, std::string* error) {
  GError* gerror = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      connection_, kBusName.c_str(), kObjectPath.c_str(), "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kInterfaceName.c_str(), name), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
      timeoutMilliseconds(timeout_), nullptr, &gerror);
  if (reply == nullptr) {
    *error = describe(gerror, timeout_);
    g_error_free(gerror);
    return nullptr;
  }
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  g_variant_unref(reply);
  if (!g_variant_is_of_type(value, G_VARIANT_TYPE(type))) {
    *error = std::string("finder-extension gave ") + name + " of the wrong type";
    g_variant_unref(value);
    return nullptr;
  }
  return value;
}

namespace {
bool succeeded(GVariant* reply) {
  if (reply == nullptr) return false;
  g_variant_unref(reply);
  return true;
}
}  // namespace

bool Client::beginObservingDirectory(const std::string& path, std::string* error) {
  return succeeded(call("BeginObservingDirectory", g_variant_new("(s)", path.c_str()), "()", error));
}

bool Client::endObservingDirectory(const std::string& path, std::string* error) {
  return succeeded(call("EndObservingDirectory", g_variant_new("(s)", path.c_str()), "()", error));
}

bool Client::requestBadge(const std::string& path, std::string* error) {
  return succeeded(call("RequestBadge", g_variant_new("(s)", path.c_str()), "()", error));
}

bool Client::requestBadges(const std::vector<std::string>& paths, std::string* error) {
  GVariantBuilder array;
  g_variant_builder_init(&array, G_VARIANT_TYPE("as"));
  for (const auto& path : paths) g_variant_builder_add(&array, "s", path.c_str());
  return succeeded(call("RequestBadges", g_variant_new("(as)", &array), "()", error));
}

size_t Client::badgeSignals() const { return subscriptions_->badgeSignals; }

std::optional<Client::Menu> Client::getMenu(std::uint32_t kind, std::string* error) {
  GVariant* reply = call("GetMenu", g_variant_new("(u)", kind), "(bsa(ss))", error);
  if (reply == nullptr) return std::nullopt;
  Menu menu;
  gboolean present = FALSE;
  const char* title = nullptr;
  GVariantIter* items = nullptr;
  g_variant_get(reply, "(b&sa(ss))", &present, &title, &items);
  menu.present = present;
  menu.title = title;
  const char* itemTitle = nullptr;
  const char* action = nullptr;
  while (g_variant_iter_next(items, "(&s&s)", &itemTitle, &action)) menu.items.emplace_back(itemTitle, action);
  g_variant_iter_free(items);
  g_variant_unref(reply);
  return menu;
}

bool Client::chooseMenuItem(const std::string& action, const std::vector<std::string>& selected,
                            const std::string& targeted, std::string* error) {
  GVariantBuilder paths;
  g_variant_builder_init(&paths, G_VARIANT_TYPE("as"));
  for (const auto& path : selected) g_variant_builder_add(&paths, "s", path.c_str());
  return succeeded(call("ChooseMenuItem", g_variant_new("(sass)", action.c_str(), &paths, targeted.c_str()), "()",
                        error));
}

std::optional<std::vector<std::string>> Client::directoryURLs(std::string* error) {
  GVariant* value = getProperty("DirectoryURLs", "as", error);
  if (value == nullptr) return std::nullopt;
  auto paths = Subscriptions::strings(value);
  g_variant_unref(value);
  return paths;
}

std::optional<std::vector<findersync::BadgeImageEntry>> Client::badgeImages(std::string* error) {
  GVariant* value = getProperty("BadgeImages", "a(ssss)", error);
  if (value == nullptr) return std::nullopt;
  std::vector<findersync::BadgeImageEntry> images;
  GVariantIter iter;
  g_variant_iter_init(&iter, value);
  const char* fields[4] = {};
  while (g_variant_iter_next(&iter, "(&s&s&s&s)", &fields[0], &fields[1], &fields[2], &fields[3])) {
    images.push_back({fields[0], fields[1], fields[2], fields[3]});
  }
  g_variant_unref(value);
  return images;
}

bool Client::serviceIsRunning() {
  GError* gerror = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "NameHasOwner",
                                                g_variant_new("(s)", kBusName.c_str()), G_VARIANT_TYPE("(b)"),
                                                G_DBUS_CALL_FLAGS_NONE, timeoutMilliseconds(timeout_), nullptr,
                                                &gerror);
  if (reply == nullptr) {
    g_error_free(gerror);
    return false;
  }
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

void Client::onBadgeChanged(BadgeChangedHandler handler) { subscriptions_->badgeChanged = std::move(handler); }

void Client::onDirectoryURLsChanged(DirectoryURLsChangedHandler handler) {
  subscriptions_->directoryURLsChanged = std::move(handler);
}

void Client::onServiceGone(ServiceGoneHandler handler) { subscriptions_->serviceGone = std::move(handler); }

}  // namespace testbus
