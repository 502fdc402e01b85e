// measureXML(): libplist 2.2's XML reader (xplist.c, node_from_xml and its
// helpers) step by step, building nothing. Each branch follows the reader's
// own, so that where it ends a tag, skips a comment or stops, this does too;
// content it would decode (numbers, dates, base64, entities) only matters
// here for where it ends.
#include <string>
#include <vector>

#include "xml.h"

namespace plist::detail {

namespace {

class Scan {
 public:
  Scan(std::string_view text, int maxDepth, std::size_t maxValues)
      : t_(text), end_(text.size()), maxDepth_(maxDepth), maxValues_(maxValues) {}

  Shape run() {
    while (pos_ < end_ && step()) {
      if (shape_.depth > maxDepth_ || shape_.values > maxValues_) break;
    }
    return shape_;
  }

 private:
  bool at(char c) const { return pos_ < end_ && t_[pos_] == c; }
  // Whether the text at pos_ starts with s (which must fit before the end).
  bool startsWith(std::string_view s) const { return t_.substr(pos_, s.size()) == s; }
  bool lacks(std::string_view s) const { return pos_ + s.size() > end_ || !startsWith(s); }

  void skipSpace() {
    while (pos_ < end_ && (t_[pos_] == ' ' || t_[pos_] == '\t' || t_[pos_] == '\r' || t_[pos_] == '\n')) ++pos_;
  }

  // Past a quoted run: pos_ is on the opening '"'; ends on the closing one,
  // or at the end. False when no closing quote follows.
  bool skipQuoted() {
    ++pos_;
    findChar('"', false);
    return pos_ < end_;
  }

  void findChar(char c, bool skipQuotes) {
    while (pos_ < end_ && t_[pos_] != c) {
      if (skipQuotes && c != '"' && t_[pos_] == '"' && !skipQuoted()) return;
      ++pos_;
    }
  }

  // Stops on s, or where fewer than s.size() + 1 characters are left.
  void findStr(std::string_view s, bool skipQuotes) {
    while (pos_ + s.size() < end_) {
      if (startsWith(s)) return;
      if (skipQuotes && t_[pos_] == '"' && !skipQuoted()) return;
      ++pos_;
    }
  }

  void findNext(std::string_view chars, bool skipQuotes) {
    while (pos_ < end_) {
      if (skipQuotes && t_[pos_] == '"' && !skipQuoted()) return;
      if (chars.find(t_[pos_]) != std::string_view::npos) return;
      ++pos_;
    }
  }

  // The text of an element up to and past its end tag </tag>, with the
  // comments and CDATA sections it may hold. False where libplist fails.
  bool textParts(std::string_view tag, bool skipWs) {
    if (skipWs) skipSpace();
    for (;;) {
      findChar('<', false);
      if (pos_ >= end_) return false;
      if (++pos_ >= end_) return false;
      if (t_[pos_] == '/') break;
      if (t_[pos_] != '!') return false;
      if (++pos_ + 1 >= end_) return false;
      if (t_[pos_] == '-' && t_[pos_ + 1] == '-') {
        pos_ += 2;
        findStr("-->", false);
        if (pos_ + 3 > end_ || !startsWith("-->")) return false;
        pos_ += 3;
      } else if (t_[pos_] == '[') {
        if (++pos_ + 8 >= end_ || !startsWith("CDATA[")) return false;
        pos_ += 6;
        findStr("]]>", false);
        if (pos_ + 3 > end_ || !startsWith("]]>")) return false;
        pos_ += 3;
      } else {
        return false;
      }
    }
    ++pos_;
    if (pos_ + tag.size() >= end_ || !startsWith(tag)) return false;
    pos_ += tag.size();
    skipSpace();
    if (!at('>')) return false;
    ++pos_;
    return true;
  }

  // A node attached under the current parent (or as the root).
  void attach(bool isContainer, bool isDictionary, bool isEmpty) {
    const int level = parents_.empty() ? 0 : parents_.back().level + 1;
    ++shape_.values;
    if (level > shape_.depth) shape_.depth = level;
    if (!parents_.empty() && parents_.back().isDictionary) {
      ++shape_.values;  // the key
      ++shape_.entries;
    }
    if (isContainer && (parents_.empty() || !isEmpty)) parents_.push_back({level, isDictionary});
    if (isContainer && !isEmpty) path_.push_back(isDictionary ? "dict" : "array");
  }

  // One step of the reader's loop; false where it stops, done or failed.
  bool step() {
    skipSpace();
    if (pos_ >= end_) return false;
    if (t_[pos_] != '<' || ++pos_ >= end_) return false;
    if (t_[pos_] == '?') {
      findStr("?>", true);
      if (pos_ + 2 > end_ || !startsWith("?>")) return false;
      pos_ += 2;
      return true;
    }
    if (t_[pos_] == '!') {
      if (end_ - pos_ > 3 && startsWith("!--")) {
        pos_ += 3;
        findStr("-->", false);
        if (pos_ + 3 > end_ || !startsWith("-->")) return false;
        pos_ += 3;
        return true;
      }
      if (end_ - pos_ <= 8 || !startsWith("!DOCTYPE")) return false;
      pos_ += 8;
      bool subset = false;
      while (pos_ < end_) {
        findNext(" \t\r\n[>", true);
        if (pos_ >= end_) return false;
        if (t_[pos_] == '[') {
          subset = true;
          break;
        }
        if (t_[pos_] == '>') {
          ++pos_;
          break;
        }
        skipSpace();
      }
      if (subset) {
        findStr("]>", true);
        if (pos_ + 2 > end_ || !startsWith("]>")) return false;
        pos_ += 2;
      }
      return true;
    }

    const std::size_t start = pos_;
    findNext(" \r\n\t<>", false);
    if (pos_ >= end_) return false;
    std::string_view tag = t_.substr(start, pos_ - start);
    if (t_[pos_] != '>') findNext("<>", true);
    if (!at('>')) return false;
    bool isEmpty = false;
    if (t_[pos_ - 1] == '/') {
      const std::size_t cut = pos_ - start - 1;
      if (cut < tag.size()) tag = tag.substr(0, cut);
      isEmpty = true;
    }
    ++pos_;

    if (tag == "plist") {
      hasContent_ = false;
      if (path_.empty() && shape_.values > 0) return false;  // a second top-level plist ends the reading
      if (isEmpty) return false;
      path_.push_back("plist");
      return true;
    }
    if (tag == "/plist") {
      if (!hasContent_ || path_.empty() || path_.back() != "plist") return false;
      path_.pop_back();
      return true;
    }
    hasContent_ = true;

    if (tag == "dict" || tag == "array") {
      const bool root = shape_.values == 0;
      if (!root && parents_.back().isDictionary && !hasKey_) return false;
      attach(true, tag == "dict", isEmpty);
      hasKey_ = false;
      return true;
    }
    if (tag == "integer" || tag == "real" || tag == "data" || tag == "date" || tag == "true" || tag == "false" ||
        tag == "string" || tag == "key") {
      const bool text = tag == "string" || tag == "key";
      bool ok = isEmpty || textParts(tag, !text);
      // true and false are attached even when their text fails.
      if (!ok && tag != "true" && tag != "false") return false;
      const bool root = shape_.values == 0;
      if (ok && tag == "key" && !isEmpty && !hasKey_ && !root && parents_.back().isDictionary) {
        hasKey_ = true;
        return true;
      }
      if (root) {
        attach(false, false, isEmpty);
        return false;  // a leaf root is the whole document
      }
      if (parents_.back().isDictionary && !hasKey_) return false;
      attach(false, false, isEmpty);
      hasKey_ = false;
      return ok;
    }
    if (tag.empty() || tag[0] != '/') return false;  // an unknown element
    if (path_.empty() || path_.back() != tag.substr(1)) return false;
    path_.pop_back();
    parents_.pop_back();
    hasKey_ = false;
    return !parents_.empty();  // closing the root ends the reading
  }

  struct Parent {
    int level;
    bool isDictionary;
  };

  std::string_view t_;
  std::size_t pos_ = 0;
  const std::size_t end_;
  const int maxDepth_;
  const std::size_t maxValues_;
  Shape shape_;
  std::vector<std::string_view> path_;  // open plist, dict and array elements
  std::vector<Parent> parents_;         // the containers from the root to the current parent
  bool hasKey_ = false;                 // a dictionary key read, waiting for its value
  bool hasContent_ = false;
};

}  // namespace

Shape measureXML(std::string_view text, int maxDepth, std::size_t maxValues) {
  return Scan(text, maxDepth, maxValues).run();
}

}  // namespace plist::detail
