#include "busconnection.h"

namespace findersync {

GDBusConnection* openBusConnection(GBusType type, std::string* error) {
  GError* gerror = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(type, nullptr, &gerror);
  GDBusConnection* connection = nullptr;
  if (address != nullptr) {
    connection = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &gerror);
    g_free(address);
  }
  if (connection == nullptr) {
    *error = gerror != nullptr ? gerror->message : "unknown error";
    g_clear_error(&gerror);
  }
  return connection;
}

}  // namespace findersync
