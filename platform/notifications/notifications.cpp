#include "notifications.h"

#include <gio/gio.h>

#include <mutex>

#include "platform/dispatch/dispatch.h"

namespace notifications {

// Shared by the subscription and the main-queue tasks it queues, so a task
// that outlives the Observation finds it inactive instead of freed memory.
struct Observation::State {
  std::mutex mutex;
  Handler handler;  // empty once the observation is gone; guarded by mutex
  GDBusConnection* connection = nullptr;
  guint subscription = 0;
};

namespace {

GDBusConnection* sessionBus(std::string* error) {
  GError* gerror = nullptr;
  GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &gerror);
  if (connection != nullptr) return connection;
  if (error != nullptr) *error = std::string("no session bus: ") + gerror->message;
  g_error_free(gerror);
  return nullptr;
}

void setError(std::string* error, GError* gerror) {
  if (error != nullptr) *error = gerror->message;
  g_error_free(gerror);
}

void deliver(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer data) {
  // GDBus calls this in the subscriber's thread-default context, which need
  // not be the main queue: hop there before calling the handler.
  auto state = *static_cast<std::shared_ptr<Observation::State>*>(data);
  dispatch::mainQueue().async([state] {
    Handler handler;
    {
      std::lock_guard lock(state->mutex);
      handler = state->handler;
    }
    if (handler) handler();
  });
}

void freeState(gpointer data) { delete static_cast<std::shared_ptr<Observation::State>*>(data); }

}  // namespace

Observation::Observation(std::shared_ptr<State> state) : state_(std::move(state)) {}

Observation::~Observation() {
  {
    std::lock_guard lock(state_->mutex);
    state_->handler = nullptr;
  }
  g_dbus_connection_signal_unsubscribe(state_->connection, state_->subscription);
  g_object_unref(state_->connection);
}

bool post(const std::string& name, std::string* error) {
  GDBusConnection* connection = sessionBus(error);
  if (connection == nullptr) return false;
  GError* gerror = nullptr;
  bool ok = g_dbus_connection_emit_signal(connection, nullptr, kObjectPath, kInterface, kSignal,
                                          g_variant_new("(ss)", name.c_str(), ""), &gerror) &&
            g_dbus_connection_flush_sync(connection, nullptr, &gerror);
  if (!ok) setError(error, gerror);
  g_object_unref(connection);
  return ok;
}

std::unique_ptr<Observation> observe(const std::string& name, Handler handler, std::string* error) {
  GDBusConnection* connection = sessionBus(error);
  if (connection == nullptr) return nullptr;
  auto state = std::make_shared<Observation::State>();
  state->handler = std::move(handler);
  state->connection = connection;
  state->subscription = g_dbus_connection_signal_subscribe(
      connection, nullptr, kInterface, kSignal, kObjectPath, name.c_str(), G_DBUS_SIGNAL_FLAGS_NONE, deliver,
      new std::shared_ptr<Observation::State>(state), freeState);
  auto observation = std::make_unique<Observation>(state);
  // The bus handles one connection's messages in order: once this call is
  // answered, the match rule that subscribing sent is in force, so a
  // notification posted from now on by any process reaches us.
  GError* gerror = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &gerror);
  if (reply == nullptr) {
    setError(error, gerror);
    return nullptr;
  }
  g_variant_unref(reply);
  return observation;
}

}  // namespace notifications
