// The registry's log handle (subsystem "com.korvaneapp.v3.finder", category
// "WorkingCopies"), shared by every file of the registry. Made once, on first
// use, safely from any thread.
#pragma once

#include "platform/log/log.h"

const oslog::Logger& KRVFinderSyncLog();
