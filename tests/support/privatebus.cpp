#include "privatebus.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace testsupport {

namespace {

std::string startDaemon() {
  int out[2];
  if (pipe(out) != 0) return "";
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address=1", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // Bounded, so a daemon that never gets ready fails the test instead of hanging it.
  std::string address;
  char c;
  pollfd ready{out[0], POLLIN, 0};
  while (poll(&ready, 1, 10000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') address += c;
  close(out[0]);
  return address;
}

}  // namespace

void usePrivateSessionBus() {
  static const std::string address = startDaemon();
  ASSERT_FALSE(address.empty()) << "dbus-daemon did not start";
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
}

}  // namespace testsupport
