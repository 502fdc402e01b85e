// The keychain access group in which the Korvane application stores the
// passwords that the askpass tool may read.
#pragma once

inline constexpr char KRVSharedItemsAccessGroup[] = "7QH2MXR5TB.com.korvaneapp.shareditems";
