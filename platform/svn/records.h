// The byte stream between the status scan and its helper process (internal
// to platform/svn).
//
// Contract: requests travel on a socket, answers on a pipe. A request is 'Q', the root path, the
// configuration folder (or none) and the four options. The answer is any
// number of 'I' records (an item: its path and the client status record)
// and 'S' records (a skipped name), then one 'E' record: the error chain,
// outermost first, empty on success. Integers are zigzag varints, strings a
// presence byte, a length and the bytes. Within items, which a walk sends
// by the hundred thousand, a path is sent as the length it shares with the
// previous item's path and the rest, and a string field as "same as in the
// previous item" or "same as the path" where it is: a record is about a
// third of its plain size. Readers check
// every length and count, so a stream cut short or garbled reads as false,
// never as a wrong record. Writing to a socket never raises SIGPIPE; a
// helper writing to a pipe whose reader is gone ends by SIGPIPE.
#pragma once

#include <svn_client.h>
#include <svn_error.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "svn.h"

namespace svn::detail {

struct ScanRequest {
  std::string root;
  std::optional<std::string> configDir;
  KRVWorkingCopyStatusScanner::Options options;
};

class RecordWriter {
 public:
  RecordWriter(int fd, bool socket) : fd_(fd), socket_(socket) {}
  void request(const ScanRequest& request);
  void item(const char* path, const svn_client_status_t& status);
  void skipped(const std::string& path);
  void end(svn_error_t* err);
  // Sends what is buffered once it holds at least `atLeast` bytes; false
  // once the other end is gone.
  bool flush(std::size_t atLeast = 0);

 private:
  void byte(char c) { buffer_.push_back(c); }
  void integer(std::int64_t value);
  void string(const char* text);
  void itemString(std::size_t field, const char* text, const char* path);
  void lock(const svn_lock_t* lock);

  int fd_;
  bool socket_;
  std::string buffer_;
  std::string lastPath_;
  std::array<std::optional<std::string>, 9> last_;  // each string field of the previous item
};

class RecordReader {
 public:
  // Strings and locks are allocated in `pool`, which the caller may clear
  // between records.
  RecordReader(int fd, apr_pool_t* pool) : fd_(fd), pool_(pool) {}
  // The next record's kind ('Q', 'I', 'S', 'E'); false at the end of the stream.
  bool kind(char& kind) { return read(&kind, 1); }
  bool request(ScanRequest& request);
  bool item(const char*& path, svn_client_status_t& status);
  bool skipped(const char*& path);
  // The error chain of an 'E' record, rebuilt (null for success).
  bool end(svn_error_t*& err);

 private:
  // Most reads are served from the buffer without a call.
  bool byte(char& c) {
    if (start_ == end_) return read(&c, 1);
    c = buffer_[start_++];
    return true;
  }
  bool integer(std::int64_t& value);
  bool string(const char*& text);
  bool itemString(std::size_t field, const char*& text);
  bool lock(const svn_lock_t*& lock);
  bool read(void* into, std::size_t size);

  int fd_;
  apr_pool_t* pool_;
  char buffer_[64 * 1024];
  std::size_t start_ = 0, end_ = 0;
  // The previous item's path and string fields: an item's strings point
  // into these, so they last until the next item is read.
  std::string lastPath_;
  std::array<std::optional<std::string>, 9> last_;
};

}  // namespace svn::detail
