// Patched rescans against whole ones: a few hundred random steps on a real
// working copy (edits, new and removed files and folders, reverts, adds,
// deletes, locks, commits), each reported to the registry the way the
// folder monitor reports it, from a real event stream. After every step the
// badges a client holds (the first scan, then every change signalled) must
// equal a whole scan's.
#include <filesystem>
#include <mutex>
#include <random>

#include "finder-extension/registry/KRVBadgeComputation.h"
#include "platform/dispatch/dispatch.h"
#include "platform/fileevents/fileevents.h"
#include "registry_fixture.h"

namespace {

using namespace std::chrono_literals;
using testsupport::writeFile;
using BadgeMap = KRVFinderSyncWorkingCopies::BadgeMap;

constexpr int kSteps = 300;

// What the stream reported since the last take().
class Events {
 public:
  fileevents::Callback callback() {
    return [this](const std::vector<std::string>& paths) {
      std::lock_guard lock(mutex_);
      paths_.insert(paths_.end(), paths.begin(), paths.end());
    };
  }
  bool contains(const std::string& path) {
    std::lock_guard lock(mutex_);
    return std::find(paths_.begin(), paths_.end(), path) != paths_.end();
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(paths_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> paths_;
};

class BadgesEquivalence : public RegistryTest {
 protected:
  std::mt19937 random_{20261209};

  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(random_)];
  }

  // Files and folders below the working copy, outside .svn.
  std::vector<std::string> entries(const std::string& wc, bool folders) {
    std::vector<std::string> found;
    for (auto it = std::filesystem::recursive_directory_iterator(wc); it != std::filesystem::end(it); ++it) {
      if (it->path().filename() == ".svn") {
        it.disable_recursion_pending();
        continue;
      }
      if (it->is_directory() == folders) found.push_back(it->path().string());
    }
    return found;
  }

  // One random change; returns what it did, for the failure message.
  std::string step(const std::string& wc, int number) {
    auto files = entries(wc, false);
    auto folders = entries(wc, true);
    folders.push_back(wc);
    const std::string name = std::to_string(number).insert(0, 1, 'n');
    auto svn = [&](std::vector<std::string> argv) {
      argv.insert(argv.begin(), "svn");
      testsupport::run(argv);  // some fail (reverting the unversioned, say): that is a step too
      std::string line;
      for (const auto& arg : argv) line += arg + " ";
      return line;
    };
    switch (std::uniform_int_distribution<int>(0, 11)(random_)) {
      case 0:
      case 1:
      case 2: {
        if (files.empty()) break;
        const auto& file = pick(files);
        writeFile(file, "edit " + name + "\n");
        return "edit " + file;
      }
      case 3: {
        std::string file = pick(folders) + "/" + name + ".txt";
        writeFile(file, "new\n");
        return "new " + file;
      }
      case 4: {
        if (files.empty()) break;
        const auto& file = pick(files);
        std::filesystem::remove(file);
        return "remove " + file;
      }
      case 5: {
        std::string folder = pick(folders) + "/" + name;
        testsupport::makeDirs(folder);
        if (random_() % 2) writeFile(folder + "/inner.txt", "inner\n");
        return "new folder " + folder;
      }
      case 6: {
        const auto& folder = pick(folders);
        if (folder == wc) break;
        std::filesystem::remove_all(folder);
        return "remove folder " + folder;
      }
      case 7:
        return svn({"revert", "-q", "-R", pick(folders)});
      case 8:
        if (files.empty()) break;
        return svn({"add", "-q", "--parents", pick(files)});
      case 9:
        if (files.empty()) break;
        return svn({"rm", "-q", "--force", pick(files)});
      case 10:
        if (files.empty()) break;
        return svn({random_() % 2 ? "lock" : "unlock", "-q", pick(files)});
      case 11:
        return svn({"commit", "-q", "-m", name, wc});
    }
    writeFile(wc + "/" + name + ".txt", "fallback\n");
    return "new " + wc + "/" + name + ".txt";
  }
};

TEST_F(BadgesEquivalence, PatchedRescansGiveTheBadgesOfWholeScans) {
  auto repo = testsupport::makeSvnRepo(
      folder("repo"), {{"a/one.txt", "1\n"}, {"a/two.txt", "2\n"}, {"a/deep/three.txt", "3\n"},
                       {"a/deep/er/four.txt", "4\n"}, {"b/five.txt", "5\n"}, {"b/six.txt", "6\n"}, {"top.txt", "t\n"}});
  const std::string wc = repo.wc, sentinels = folder("sentinels");

  Events events;
  auto queue = dispatch::makeSerialQueue("test.equivalence.events");
  auto stream = fileevents::EventStream::create({wc, sentinels}, 0.01, events.callback());
  ASSERT_TRUE(stream && stream->start(queue));

  auto registry = KRVFinderSyncWorkingCopies::create();
  writeManifest(1, {entry("wc", appBookmark(wc))});
  registry->reloadManifest();
  ASSERT_EQ(registry->resolvedRootURLs().size(), 1u);
  registry->setWatchEpoch([&stream](const std::string& root) { return stream->wholeWatchEpoch(root); });
  auto held = std::make_shared<BadgeMap>();
  registry->setBadgesDidChange([held](const KRVFinderSyncWorkingCopies::BadgeChanges& changes) {
    for (const auto& [path, badge] : changes) {
      if (badge.empty()) {
        held->erase(path);
      } else {
        (*held)[path] = badge;
      }
    }
  });
  // Whole scans for reference, from a registry of their own.
  auto reference = KRVFinderSyncWorkingCopies::create();
  auto settle = [&] {
    auto answered = std::make_shared<bool>(false);
    registry->badgeIdentifierForURL(url(wc), [answered](const auto&) { *answered = true; });
    return dispatch::runMainUntil([&] { return *answered; }, 60s);
  };
  *held = reference->p_computeBadgesForWorkingCopyRoot(wc);
  ASSERT_TRUE(settle());

  for (int number = 0; number < kSteps; ++number) {
    std::string did = step(wc, number);
    // Every event of the step comes before the sentinel's.
    std::string sentinel = sentinels + "/" + std::to_string(number);
    writeFile(sentinel, "");
    ASSERT_TRUE(testsupport::waitFor([&] { return events.contains(sentinel); }, 30s));
    std::vector<std::string> changed;
    bool namesEverything = true;
    for (const auto& path : events.take()) {
      if (!KRVPathIsWithinRoot(path, wc)) continue;
      if (path.find("/.svn/") != std::string::npos || path.ends_with("/.svn")) {
        namesEverything = false;
        continue;
      }
      changed.push_back(path);
    }
    if (changed.empty() && namesEverything) continue;  // nothing happened (a failed command)
    registry->workingCopyDidChange(url(wc), changed, namesEverything);
    ASSERT_TRUE(settle());
    ASSERT_EQ(*held, reference->p_computeBadgesForWorkingCopyRoot(wc)) << "step " << number << ": " << did;
  }
}

}  // namespace
