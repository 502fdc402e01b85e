// svn+ssh: svn runs the tunnel program of its configuration ("ssh -q --"
// by default) with the host and "svnserve -t"; ssh inherits these settings.
#include <cstdlib>

#include "svnclient.h"

namespace svnclient {

void useAskpass(const std::string& askpass) {
  setenv("SSH_ASKPASS", askpass.c_str(), 1);
  setenv("SSH_ASKPASS_REQUIRE", "force", 1);
}

}  // namespace svnclient
