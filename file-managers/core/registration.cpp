#include "file-managers/core/registration.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>

#include "file-managers/core/paths.h"

namespace filemanagers {

namespace {

// How long an answer stays good: a checkout made meanwhile shows soon after.
constexpr gint64 kAnswerLifetimeUs = 5 * G_USEC_PER_SEC;
constexpr std::size_t kMaxAnswers = 256;

struct Answer {
  std::optional<std::string> root;
  gint64 at = 0;
};

std::optional<std::string> nearestRoot(std::string folder) {
  while (true) {
    if (::access((folder + (folder == "/" ? "" : "/") + ".svn/wc.db").c_str(), F_OK) == 0) return folder;
    if (folder == "/") return std::nullopt;
    folder = parentFolder(folder);
  }
}

// korvane-app as the desktop entry names it, else on PATH; "" when neither.
std::string applicationProgram() {
  std::string program;
  if (GDesktopAppInfo* entry = g_desktop_app_info_new("com.korvaneapp.v3.desktop")) {
    if (const char* executable = g_app_info_get_executable(G_APP_INFO(entry))) {
      if (char* found = g_find_program_in_path(executable)) {
        program = found;
        g_free(found);
      }
    }
    g_object_unref(entry);
  }
  if (!program.empty()) return program;
  if (char* found = g_find_program_in_path("korvane-app")) {
    program = found;
    g_free(found);
  }
  return program;
}

}  // namespace

std::optional<std::string> unregisteredWorkingCopyRoot(const std::string& folder,
                                                       const std::vector<std::string>& watched) {
  const auto inside = [&](const std::string& path) {
    return std::any_of(watched.begin(), watched.end(), [&](const std::string& dir) { return isInsideFolder(path, dir); });
  };
  if (inside(folder)) return std::nullopt;
  static std::map<std::string, Answer> answers;
  const gint64 now = g_get_monotonic_time();
  auto it = answers.find(folder);
  if (it == answers.end() || now - it->second.at > kAnswerLifetimeUs) {
    if (answers.size() >= kMaxAnswers) answers.clear();
    it = answers.insert_or_assign(folder, Answer{nearestRoot(folder), now}).first;
  }
  const auto& root = it->second.root;
  // A working copy registered inside a watched one is badged already.
  if (root && inside(*root)) return std::nullopt;
  return root;
}

void registerWorkingCopy(const std::string& root, std::function<void(bool, const std::string&)> done) {
  const std::string program = applicationProgram();
  if (program.empty()) {
    if (done) done(false, "korvane-app is not installed (no desktop entry com.korvaneapp.v3, none on PATH)");
    return;
  }
  const char* argv[] = {program.c_str(), "register", root.c_str(), nullptr};
  GError* error = nullptr;
  GSubprocess* process = g_subprocess_newv(argv, G_SUBPROCESS_FLAGS_STDOUT_SILENCE, &error);
  if (!process) {
    if (done) done(false, error->message);
    g_error_free(error);
    return;
  }
  auto* pending = new std::function<void(bool, const std::string&)>(std::move(done));
  g_subprocess_wait_check_async(
      process, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::function<void(bool, const std::string&)>> done(
            static_cast<std::function<void(bool, const std::string&)>*>(data));
        GError* error = nullptr;
        const bool ok = g_subprocess_wait_check_finish(G_SUBPROCESS(source), result, &error);
        if (*done) (*done)(ok, ok ? std::string() : std::string(error->message));
        g_clear_error(&error);
        g_object_unref(source);
      },
      pending);
}

}  // namespace filemanagers
