// The Subversion client commands the application carries out on a working
// copy, in this process through libsvn_client: update, add, ignore, revert,
// commit, and the listing of a working copy's changes.
//
// Contract:
// - Every function may be called from any thread except a toolkit's main
//   thread (they block for as long as Subversion works, and the prompts
//   below block until answered). Calls on different threads run at once;
//   svn's own working-copy lock refuses a second writer of one working copy,
//   so callers that want commands to wait their turn serialise them.
// - Session's callbacks run on the calling thread, during the call:
//   `progress` once per item svn reports, `cancelled` often (true stops the
//   command at its next check, as svn's cancel callback), and the prompts
//   when svn needs an answer. Without prompts, svn never asks and a missing
//   password is an error.
// - Credentials come from svn's Secret Service (GNOME keyring) provider and
//   its own credential files in the configuration folder `configDir` (the
//   user's own ~/.subversion when empty; made with its auth area when
//   missing, as svn's programs do), then the prompts. "Remember" saves a
//   password through the Secret Service and an accepted server certificate
//   in the folder's auth/svn.ssl.server, where svn looks for it.
// - svn+ssh tunnels run ssh with SSH_ASKPASS set to `askpass` and
//   SSH_ASKPASS_REQUIRE=force, so ssh asks no terminal (see useAskpass).
// - Failures come back as an Outcome whose `error` says in plain words what
//   could not be done, followed by svn's own message; nothing throws.
#pragma once

#include <svn_client.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace svnclient {

// One item svn reported while working: svn's letter ("U", "A", "D", "C",
// "G", "E", "R", "Skipped"...) and the item's absolute path.
struct Progress {
  std::string letter;
  std::string path;
};

struct Credentials {
  std::string username;
  std::string password;
  bool remember = false;
};

// What svn knows of a server certificate it cannot trust by itself.
struct Certificate {
  std::string realm;
  std::string hostname;
  std::string fingerprint;
  std::string validFrom;
  std::string validUntil;
  std::string issuer;
  std::vector<std::string> problems;  // plain words, e.g. "issued by an unknown authority"
};

enum class CertificateAnswer { Reject, AcceptOnce, AcceptPermanently };

struct Session {
  std::string configDir;  // empty: the user's own
  std::function<void(const Progress&)> progress;
  std::function<bool()> cancelled;
  // nullopt: the user declined.
  std::function<std::optional<Credentials>(const std::string& realm, const std::string& username, bool maySave)>
      askPassword;
  std::function<CertificateAnswer(const Certificate&, bool maySave)> askCertificate;
};

struct Outcome {
  bool ok = true;
  bool cancelled = false;  // stopped by `cancelled`; ok is false
  std::string error;       // when !ok: plain words, then svn's message
};

struct UpdateOutcome : Outcome {
  long revision = -1;                // the revision updated to, -1 when none
  std::map<std::string, int> counts;  // letter -> how many items
  std::vector<std::string> conflicts;  // absolute paths, in the order met
};

// "Updated to revision N", the counts, and every conflict by name.
std::string updateSummary(const UpdateOutcome& outcome);

UpdateOutcome update(const std::vector<std::string>& paths, const Session& session);

// Puts each unversioned item (and a folder's contents) under version
// control, with missing parent folders.
Outcome add(const std::vector<std::string>& paths, const Session& session);

// Adds to each item's folder's svn:ignore a pattern matching exactly its
// name, keeping the patterns already there. When the property cannot be
// read, that folder's property is left as it is and the failure reported.
Outcome ignore(const std::vector<std::string>& paths, const Session& session);

// The value a folder's svn:ignore takes when `names` are added to `current`
// (nullopt: the folder has no such property); nullopt when a name cannot
// be a pattern (a line break).
std::optional<std::string> ignoreValueAdding(const std::optional<std::string>& current,
                                             const std::vector<std::string>& names);

// The badge an item's status earns (the file manager's rule), empty for none.
using BadgeRule = std::function<std::string(const svn_client_status_t&)>;

// An item a command would act on.
struct Change {
  std::string path;   // absolute
  char letter = ' ';  // svn status's first column ("M", "A", "D", "R", "C", "!", "~")
  std::string status; // plain words: "modified", "added"...
  std::string badge;  // the file manager's badge for it, empty when none
};

// Every item `svn revert --depth infinity` would revert for `paths`, in
// svn status's order. Unversioned and ignored items are never in it.
std::optional<std::vector<Change>> revertCandidates(const std::vector<std::string>& paths, const BadgeRule& badge,
                                                    const Session& session, std::string* error);

// Reverts `paths` recursively, if what would be reverted is still exactly
// `confirmed` (as revertCandidates gave); otherwise reverts nothing and says
// the working copy changed. Added items stay on disk as unversioned files.
Outcome revert(const std::vector<std::string>& paths, const std::vector<Change>& confirmed, const BadgeRule& badge,
               const Session& session);

Outcome commit(const std::vector<std::string>& paths, const std::string& message, const Session& session);

// An item the commit dialog lists: every local change below the chosen
// paths, missing and unversioned items included, externals left out.
struct CommitItem : Change {
  bool checkable = true;  // false for conflicted items
  bool checked = true;    // as first shown: unversioned items start unchecked
  std::string reason;     // why it cannot be checked
};

std::optional<std::vector<CommitItem>> commitCandidates(const std::vector<std::string>& paths, const BadgeRule& badge,
                                                        const Session& session, std::string* error);

struct CommitOutcome : Outcome {
  long revision = -1;      // the new revision, -1 when none was made
  bool outOfDate = false;  // the repository holds newer changes: update first
};

// Commits exactly `checked` (as commitCandidates gave them) with `message`:
// unversioned items are added first (a folder with its contents), missing
// ones scheduled for deletion; nothing else below them is committed.
CommitOutcome commitItems(const std::vector<CommitItem>& checked, const std::string& message, bool keepLocks,
                          const Session& session);

// "Committed revision N".
std::string commitSummary(const CommitOutcome& outcome);

// The item's change against BASE as a unified diff; for an unversioned
// file, all its lines as additions.
std::optional<std::string> diffAgainstBase(const std::string& path, const Session& session, std::string* error);

// A working copy as its window shows it.
struct Listing {
  std::string root;
  std::string url;
  long revision = -1;
  std::vector<Change> changes;  // every changed, conflicted, missing or unversioned item
};

// The working copy holding `path`, without network access.
std::optional<Listing> listWorkingCopy(const std::string& path, const BadgeRule& badge, const Session& session,
                                       std::string* error);

// Makes every later svn+ssh tunnel of this process ask `askpass` (an
// absolute path) for passwords and host keys instead of a terminal. Call
// once at start-up, before any thread starts: it sets the environment.
void useAskpass(const std::string& askpass);

}  // namespace svnclient
