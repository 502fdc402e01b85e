#include "records.h"

#include <apr_pools.h>
#include <svn_pools.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace svn::detail {

namespace {

// How an item's string field is sent.
enum : char { kNull = 0, kLiteral = 1, kSameAsBefore = 2, kSameAsPath = 3 };

std::uint64_t zigzag(std::int64_t value) {
  return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

// Longer strings and chains are taken for a garbled stream.
constexpr std::int64_t kMaxString = 1 << 24;
constexpr std::int64_t kMaxChain = 1000;

// The integer fields of svn_client_status_t, in record order.
template <typename Status, typename Visit>
void integerFields(Status& s, Visit visit) {
  visit(s.kind), visit(s.filesize), visit(s.versioned), visit(s.conflicted), visit(s.node_status),
      visit(s.text_status), visit(s.prop_status), visit(s.wc_is_locked), visit(s.copied), visit(s.revision),
      visit(s.changed_rev), visit(s.changed_date), visit(s.switched), visit(s.file_external), visit(s.depth),
      visit(s.ood_kind), visit(s.repos_node_status), visit(s.repos_text_status), visit(s.repos_prop_status),
      visit(s.ood_changed_rev), visit(s.ood_changed_date);
}

template <typename Status, typename Visit>
void stringFields(Status& s, Visit visit) {
  visit(s.local_abspath), visit(s.repos_root_url), visit(s.repos_uuid), visit(s.repos_relpath),
      visit(s.changed_author), visit(s.changelist), visit(s.ood_changed_author), visit(s.moved_from_abspath),
      visit(s.moved_to_abspath);
}

template <typename Options, typename Visit>
void optionFields(Options& o, Visit visit) {
  visit(o.depth), visit(o.getAll), visit(o.noIgnore), visit(o.ignoreExternals);
}

}  // namespace

void RecordWriter::integer(std::int64_t value) {
  std::uint64_t bits = zigzag(value);
  while (bits >= 0x80) {
    buffer_.push_back(static_cast<char>((bits & 0x7F) | 0x80));
    bits >>= 7;
  }
  buffer_.push_back(static_cast<char>(bits));
}

void RecordWriter::itemString(std::size_t field, const char* text, const char* path) {
  auto& last = last_[field];
  if (text == nullptr) {
    byte(kNull);
  } else if (std::strcmp(text, path) == 0) {
    byte(kSameAsPath);
  } else if (last && *last == text) {
    byte(kSameAsBefore);
  } else {
    byte(kLiteral);
    std::size_t length = std::strlen(text);
    integer(static_cast<std::int64_t>(length));
    buffer_.append(text, length);
    last.emplace(text, length);
  }
}

void RecordWriter::string(const char* text) {
  byte(text != nullptr ? 1 : 0);
  if (text == nullptr) return;
  integer(static_cast<std::int64_t>(std::strlen(text)));
  buffer_.append(text);
}

void RecordWriter::lock(const svn_lock_t* lock) {
  byte(lock != nullptr ? 1 : 0);
  if (lock == nullptr) return;
  for (const char* text : {lock->path, lock->token, lock->owner, lock->comment}) string(text);
  for (std::int64_t value :
       {std::int64_t{lock->is_dav_comment}, std::int64_t{lock->creation_date}, std::int64_t{lock->expiration_date}})
    integer(value);
}

void RecordWriter::request(const ScanRequest& request) {
  byte('Q');
  string(request.root.c_str());
  string(request.configDir ? request.configDir->c_str() : nullptr);
  optionFields(request.options, [&](const auto& field) { integer(static_cast<std::int64_t>(field)); });
}

void RecordWriter::item(const char* path, const svn_client_status_t& status) {
  byte('I');
  std::size_t length = std::strlen(path), shared = 0;
  while (shared < length && shared < lastPath_.size() && path[shared] == lastPath_[shared]) ++shared;
  integer(static_cast<std::int64_t>(shared));
  integer(static_cast<std::int64_t>(length - shared));
  buffer_.append(path + shared, length - shared);
  lastPath_.assign(path, length);
  integerFields(status, [&](const auto& field) { integer(static_cast<std::int64_t>(field)); });
  std::size_t index = 0;
  stringFields(status, [&](const char* field) { itemString(index++, field, path); });
  lock(status.lock);
  lock(status.repos_lock);
}

void RecordWriter::skipped(const std::string& path) {
  byte('S');
  string(path.c_str());
}

void RecordWriter::end(svn_error_t* err) {
  byte('E');
  // The next scan's items start afresh, as its reader does.
  lastPath_.clear();
  for (auto& last : last_) last.reset();
  err = svn_error_purge_tracing(err);
  std::int64_t links = 0;
  for (svn_error_t* link = err; link != nullptr; link = link->child) ++links;
  integer(links);
  for (svn_error_t* link = err; link != nullptr; link = link->child) {
    integer(link->apr_err);
    string(link->message);
  }
}

bool RecordWriter::flush(std::size_t atLeast) {
  if (buffer_.size() < atLeast) return true;
  for (std::size_t done = 0; done < buffer_.size();) {
    ssize_t n = socket_ ? send(fd_, buffer_.data() + done, buffer_.size() - done, MSG_NOSIGNAL)
                        : write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
  return true;
}

bool RecordReader::read(void* into, std::size_t size) {
  auto* at = static_cast<char*>(into);
  if (size <= end_ - start_) {
    std::memcpy(at, buffer_ + start_, size);
    start_ += size;
    return true;
  }
  while (size > 0) {
    if (start_ == end_) {
      ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      start_ = 0;
      end_ = static_cast<std::size_t>(n);
    }
    std::size_t take = std::min(size, end_ - start_);
    std::memcpy(at, buffer_ + start_, take);
    start_ += take;
    at += take;
    size -= take;
  }
  return true;
}

bool RecordReader::integer(std::int64_t& value) {
  std::uint64_t bits = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    char c = 0;
    if (!byte(c)) return false;
    bits |= static_cast<std::uint64_t>(c & 0x7F) << shift;
    if ((c & 0x80) == 0) {
      value = static_cast<std::int64_t>(bits >> 1) ^ -static_cast<std::int64_t>(bits & 1);
      return true;
    }
  }
  return false;
}

bool RecordReader::itemString(std::size_t field, const char*& text) {
  char how = 0;
  if (!byte(how)) return false;
  auto& last = last_[field];
  text = nullptr;
  switch (how) {
    case kNull:
      return true;
    case kSameAsPath:
      text = lastPath_.c_str();
      return true;
    case kSameAsBefore:
      if (!last) return false;
      text = last->c_str();
      return true;
    case kLiteral: {
      std::int64_t length = 0;
      if (!integer(length) || length < 0 || length > kMaxString) return false;
      last.emplace(static_cast<std::size_t>(length), '\0');
      if (!read(last->data(), static_cast<std::size_t>(length))) return false;
      text = last->c_str();
      return true;
    }
    default:
      return false;
  }
}

bool RecordReader::string(const char*& text) {
  char present = 0;
  if (!byte(present)) return false;
  text = nullptr;
  if (present == 0) return true;
  std::int64_t length = 0;
  if (present != 1 || !integer(length) || length < 0 || length > kMaxString) return false;
  char* copy = static_cast<char*>(apr_palloc(pool_, static_cast<apr_size_t>(length) + 1));
  if (!read(copy, static_cast<std::size_t>(length))) return false;
  copy[length] = '\0';
  text = copy;
  return true;
}

bool RecordReader::lock(const svn_lock_t*& out) {
  char present = 0;
  if (!byte(present)) return false;
  out = nullptr;
  if (present == 0) return true;
  auto* lock = static_cast<svn_lock_t*>(apr_pcalloc(pool_, sizeof(svn_lock_t)));
  std::int64_t dav = 0, created = 0, expires = 0;
  if (!string(lock->path) || !string(lock->token) || !string(lock->owner) || !string(lock->comment) ||
      !integer(dav) || !integer(created) || !integer(expires))
    return false;
  lock->is_dav_comment = static_cast<svn_boolean_t>(dav);
  lock->creation_date = created;
  lock->expiration_date = expires;
  out = lock;
  return true;
}

bool RecordReader::request(ScanRequest& request) {
  const char* root = nullptr;
  const char* configDir = nullptr;
  if (!string(root) || root == nullptr || !string(configDir)) return false;
  request.root = root;
  request.configDir = configDir != nullptr ? std::optional<std::string>(configDir) : std::nullopt;
  bool ok = true;
  optionFields(request.options, [&](auto& field) {
    std::int64_t value = 0;
    ok = ok && integer(value);
    field = static_cast<std::remove_reference_t<decltype(field)>>(value);
  });
  return ok;
}

bool RecordReader::item(const char*& path, svn_client_status_t& status) {
  status = {};
  std::int64_t shared = 0, rest = 0;
  if (!integer(shared) || !integer(rest) || shared < 0 || static_cast<std::size_t>(shared) > lastPath_.size() ||
      rest < 0 || rest > kMaxString)
    return false;
  lastPath_.resize(static_cast<std::size_t>(shared + rest));
  if (!read(lastPath_.data() + shared, static_cast<std::size_t>(rest))) return false;
  // A path holds no NUL: one that does is garbled.
  if (lastPath_.find('\0') != std::string::npos) return false;
  path = lastPath_.c_str();
  bool ok = true;
  integerFields(status, [&](auto& field) {
    std::int64_t value = 0;
    ok = ok && integer(value);
    field = static_cast<std::remove_reference_t<decltype(field)>>(value);
  });
  std::size_t index = 0;
  stringFields(status, [&](const char*& field) { ok = ok && itemString(index++, field); });
  return ok && lock(status.lock) && lock(status.repos_lock);
}

bool RecordReader::skipped(const char*& path) { return string(path) && path != nullptr; }

bool RecordReader::end(svn_error_t*& err) {
  err = nullptr;
  std::int64_t links = 0;
  if (!integer(links) || links < 0 || links > kMaxChain) return false;
  std::vector<std::pair<std::int64_t, std::string>> chain;
  for (std::int64_t i = 0; i < links; ++i) {
    std::int64_t code = 0;
    const char* message = nullptr;
    if (!integer(code) || !string(message)) return false;
    chain.emplace_back(code, message != nullptr ? message : "");
  }
  for (auto link = chain.rbegin(); link != chain.rend(); ++link)
    err = svn_error_create(static_cast<apr_status_t>(link->first), err,
                           link->second.empty() ? nullptr : link->second.c_str());
  return true;
}

}  // namespace svn::detail
