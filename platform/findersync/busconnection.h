// A connection of our own to a message bus, for the host and the client.
// It is not GIO's shared connection, so closing it ends only our use of the
// bus and a lost bus is seen as this connection closing.
#pragma once

#include <gio/gio.h>

#include <string>

namespace findersync {

// A new connection to the bus of that type, or nullptr with the reason.
GDBusConnection* openBusConnection(GBusType type, std::string* error);

}  // namespace findersync
