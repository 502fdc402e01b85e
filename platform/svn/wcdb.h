// A read-only snapshot of a working copy's .svn/wc.db, for the status
// walk's fast path (internal to platform/svn; walk.cpp is its caller, in
// the scan's helper process, on its one thread).
//
// Contract: readWorkingCopyDatabase() opens the database of the working
// copy rooted at `root` read-only (it never writes), reads its nodes in a
// few whole-table queries inside one read transaction, and closes it. It
// gives nothing, and the caller walks with Subversion alone, unless the
// database is exactly the format this code reads (user_version 31, that of
// Subversion 1.14) and holds no working-copy lock, pending work, external
// or anything else it does not read. A node counts as "plain" when
// Subversion's status of it depends only on its one BASE row and what is
// on disk: see the conditions in wcdb.cpp.
#pragma once

#include <svn_types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace svn::detail {

struct WCNode {
  std::string name;  // within its folder
  bool folder = false;
  bool plain = false;
  // Its pristine properties name a property that makes the working file a
  // translation of the pristine one (eol style, keywords, special).
  bool translated = false;
  bool hasProps = false;
  svn_revnum_t revision = SVN_INVALID_REVNUM;
  svn_revnum_t changedRev = SVN_INVALID_REVNUM;
  apr_time_t changedDate = 0;
  const std::string* changedAuthor = nullptr;  // in WCSnapshot::authors
  std::int64_t reposId = -1;
  std::array<char, 40> sha1{};        // of the pristine text in hex, files only
  bool hasSha1 = false;
  std::int64_t recordedSize = -1;     // of the working file when last checked
  std::int64_t recordedTime = 0;      // its modification time then (µs)
};

struct WCFolder {
  // Where its BASE row puts the folder in the repository (reposId -1 for
  // none); a plain child is at reposPath/name there.
  std::int64_t reposId = -1;
  std::string reposPath;
  std::vector<WCNode> children;  // by name, bytewise
  // A row of local changes (properties, conflicts, changelists) for an item
  // of the folder, versioned or not.
  bool changedChild = false;
};

struct WCRepository {
  std::string root;
  std::string uuid;
};

struct WCSnapshot {
  std::optional<WCNode> root;
  std::unordered_map<std::string, WCFolder> folders;  // by path below the root ("" is the root)
  std::unordered_map<std::int64_t, WCRepository> repositories;
  std::unordered_set<std::string> authors;
};

std::optional<WCSnapshot> readWorkingCopyDatabase(const std::string& root);

}  // namespace svn::detail
