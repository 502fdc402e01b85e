// The names of the Finder Sync bus interface, for the host and for clients
// that need nothing else of this folder (the file managers' client core).
#pragma once

#include <string>

namespace findersync {

inline const std::string kBusName = "com.korvaneapp.v3.FinderSync";
inline const std::string kObjectPath = "/com/korvaneapp/v3/FinderSync";
inline const std::string kInterfaceName = "com.korvaneapp.v3.FinderSync";

}  // namespace findersync
