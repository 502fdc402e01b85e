#include "wcdb.h"

#include <sqlite3.h>

#include <algorithm>
#include <set>
#include <string_view>
#include <utility>

namespace svn::detail {

namespace {

// Subversion 1.14's working-copy format.
constexpr int kFormat = 31;

class Database {
 public:
  explicit Database(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
    }
  }
  ~Database() { sqlite3_close(db_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  bool open() const { return db_ != nullptr; }
  bool exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

  // Runs `sql`, calling `row` for each result row; false on any error.
  template <typename Row>
  bool query(const char* sql, Row row) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) return false;
    int rc = SQLITE_ROW;
    bool ok = true;
    while (ok && (rc = sqlite3_step(stmt)) == SQLITE_ROW) ok = row(stmt);
    sqlite3_finalize(stmt);
    return ok && rc == SQLITE_DONE;
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string_view text(sqlite3_stmt* stmt, int column) {
  const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  return bytes != nullptr ? std::string_view(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)))
                          : std::string_view();
}

bool isNull(sqlite3_stmt* stmt, int column) { return sqlite3_column_type(stmt, column) == SQLITE_NULL; }

std::int64_t integer(sqlite3_stmt* stmt, int column, std::int64_t none) {
  return isNull(stmt, column) ? none : sqlite3_column_int64(stmt, column);
}

std::string_view nameOf(std::string_view relpath) {
  auto slash = relpath.rfind('/');
  return slash == std::string_view::npos ? relpath : relpath.substr(slash + 1);
}

std::int64_t count(Database& db, const char* sql) {
  std::int64_t n = -1;
  if (!db.query(sql, [&](sqlite3_stmt* stmt) {
        n = sqlite3_column_int64(stmt, 0);
        return true;
      }))
    return -1;
  return n;
}

}  // namespace

std::optional<WCSnapshot> readWorkingCopyDatabase(const std::string& root) {
  Database db(root + "/.svn/wc.db");
  if (!db.open() || !db.exec("BEGIN")) return std::nullopt;
  // The transaction holds a shared lock: every query sees the same state.
  struct Rollback {
    Database& db;
    ~Rollback() { db.exec("ROLLBACK"); }
  } rollback{db};

  if (count(db, "PRAGMA user_version") != kFormat) return std::nullopt;
  // One working copy in the database, no svn command holding it or
  // leaving work undone, and no externals (their walks are Subversion's).
  if (count(db, "SELECT count(*) FROM wcroot") != 1 || count(db, "SELECT count(*) FROM wcroot WHERE id = 1") != 1 ||
      count(db, "SELECT count(*) FROM wc_lock") != 0 || count(db, "SELECT count(*) FROM work_queue") != 0 ||
      count(db, "SELECT count(*) FROM externals") != 0)
    return std::nullopt;

  WCSnapshot snapshot;
  if (!db.query("SELECT id, root, uuid FROM repository", [&](sqlite3_stmt* stmt) {
        snapshot.repositories[sqlite3_column_int64(stmt, 0)] = {std::string(text(stmt, 1)), std::string(text(stmt, 2))};
        return true;
      }))
    return std::nullopt;

  std::set<std::pair<std::int64_t, std::string>> locks;
  if (!db.query("SELECT repos_id, repos_relpath FROM lock", [&](sqlite3_stmt* stmt) {
        locks.emplace(sqlite3_column_int64(stmt, 0), std::string(text(stmt, 1)));
        return true;
      }))
    return std::nullopt;

  std::set<std::string, std::less<>> changed;
  if (!db.query("SELECT local_relpath, parent_relpath FROM actual_node WHERE wc_id = 1", [&](sqlite3_stmt* stmt) {
        changed.emplace(text(stmt, 0));
        if (!isNull(stmt, 1)) snapshot.folders[std::string(text(stmt, 1))].changedChild = true;
        return true;
      }))
    return std::nullopt;

  std::string lastRelpath, lastParent;
  WCFolder* parentFolder = nullptr;  // of the previous row
  bool any = false;
  // Parents sort before their children, and a node's rows come together,
  // lowest op_depth (BASE) first.
  bool ok = db.query(
      "SELECT local_relpath, op_depth, parent_relpath, repos_id, repos_path, revision, presence, kind, properties, "
      "depth, checksum, changed_revision, changed_date, changed_author, translated_size, last_mod_time, "
      "file_external, moved_here, moved_to FROM nodes WHERE wc_id = 1 "
      "ORDER BY parent_relpath, local_relpath, op_depth",
      [&](sqlite3_stmt* stmt) {
        std::string_view relpath = text(stmt, 0);
        bool isRoot = isNull(stmt, 2);
        if (any && relpath == lastRelpath) {
          // A second row: a local add, delete, copy or move over BASE.
          (isRoot ? *snapshot.root : parentFolder->children.back()).plain = false;
          return true;
        }
        any = true;
        lastRelpath.assign(relpath);

        WCNode node;
        node.name = nameOf(relpath);
        std::string_view kind = text(stmt, 7);
        node.folder = kind == "dir";
        std::string_view props(reinterpret_cast<const char*>(sqlite3_column_blob(stmt, 8)),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt, 8)));
        node.hasProps = props.size() > 2;  // "()" is the empty list
        node.translated = props.find("svn:eol-style") != std::string_view::npos ||
                          props.find("svn:keywords") != std::string_view::npos ||
                          props.find("svn:special") != std::string_view::npos;
        node.revision = integer(stmt, 5, SVN_INVALID_REVNUM);
        node.changedRev = integer(stmt, 11, SVN_INVALID_REVNUM);
        node.changedDate = integer(stmt, 12, 0);
        if (!isNull(stmt, 13)) node.changedAuthor = &*snapshot.authors.emplace(text(stmt, 13)).first;
        node.reposId = integer(stmt, 3, -1);
        std::string_view reposPath = text(stmt, 4);
        std::string_view checksum = text(stmt, 10);
        if (checksum.size() == 6 + node.sha1.size() && checksum.starts_with("$sha1$")) {
          checksum.remove_prefix(6);
          std::copy(checksum.begin(), checksum.end(), node.sha1.begin());
          node.hasSha1 = true;
        }
        node.recordedSize = integer(stmt, 14, -1);
        node.recordedTime = integer(stmt, 15, 0);

        bool inRepository = !isNull(stmt, 3) && !isNull(stmt, 4) && snapshot.repositories.contains(node.reposId);
        node.plain = sqlite3_column_int64(stmt, 1) == 0 && text(stmt, 6) == "normal" && inRepository &&
                     (kind == "file" ? node.hasSha1 : kind == "dir" && text(stmt, 9) == "infinity") &&
                     isNull(stmt, 16) && isNull(stmt, 17) && isNull(stmt, 18) && !changed.contains(relpath) &&
                     (locks.empty() || !locks.contains({node.reposId, std::string(reposPath)}));
        if (node.folder && sqlite3_column_int64(stmt, 1) == 0 && inRepository) {
          WCFolder& self = snapshot.folders[std::string(relpath)];
          self.reposId = node.reposId;
          self.reposPath = reposPath;
        }

        if (isRoot) {
          if (!relpath.empty()) return false;
          snapshot.root = std::move(node);
          return true;
        }
        std::string_view parent = text(stmt, 2);
        if (parentFolder == nullptr || parent != lastParent) {
          lastParent.assign(parent);
          parentFolder = &snapshot.folders[lastParent];
        }
        // Not switched: where its folder is, plus its name.
        const std::string& base = parentFolder->reposPath;
        if (parentFolder->reposId != node.reposId ||
            (base.empty() ? reposPath != node.name
                          : reposPath.size() != base.size() + 1 + node.name.size() || !reposPath.starts_with(base) ||
                                reposPath[base.size()] != '/' || !reposPath.ends_with(node.name)))
          node.plain = false;
        parentFolder->children.push_back(std::move(node));
        return true;
      });
  if (!ok || !snapshot.root) return std::nullopt;
  return snapshot;
}

}  // namespace svn::detail
