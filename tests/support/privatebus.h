// A session bus private to the calling test process.
//
// Tests run in parallel on one session bus would see each other's
// broadcasts (every registry posts the same notification names), so a test
// that counts notifications takes a bus of its own. usePrivateSessionBus()
// starts a dbus-daemon and points DBUS_SESSION_BUS_ADDRESS at it; programs the
// test starts inherit it. Call it from the main thread before the first bus
// use; later calls reuse the same daemon. The daemon lives until the process ends (GLib
// ends a process whose shared bus connection closes), then dies with it.
#pragma once

namespace testsupport {

void usePrivateSessionBus();

}  // namespace testsupport
