// finder-extension: the badge and context-menu extension. The platform's
// extension main owns the process: it serves the one KRVFinderSync on the
// session bus until the bus or a signal ends it.
#include "finder-extension/front/KRVFinderSync.h"
#include "platform/findersync/findersync.h"

int main(int argc, char** argv) {
  return findersync::NSExtensionMain(argc, argv, [] { return KRVFinderSync::init(); });
}
