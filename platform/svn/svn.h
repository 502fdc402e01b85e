// The Subversion libraries, as the extension reaches them.
//
// Contract:
// - KRVEnsureSVNCoreInitialization() prepares APR and libsvn for use in this
//   process. It does the work once, however many threads call it at once;
//   later calls return at once. Call it before any other Subversion call.
#pragma once

void KRVEnsureSVNCoreInitialization();
