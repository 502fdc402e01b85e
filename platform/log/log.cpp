#include "log.h"

#include <glib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace oslog {

namespace {

std::mutex& captureMutex() {
  static std::mutex m;
  return m;
}
std::vector<Entry>* capture = nullptr;  // guarded by captureMutex()

// The program's own name (finder-extension, korvane-app), which journalctl -t
// finds; GLib knows one only when the program has set it.
const char* programName() {
  const char* name = g_get_prgname();
  return name != nullptr ? name : program_invocation_short_name;
}

void write(const Entry& entry) {
  const char* priority = entry.level == Level::Error ? "3" : "5";  // syslog err / notice
  const GLogField fields[] = {
      {"MESSAGE", entry.message.c_str(), -1},
      {"PRIORITY", priority, -1},
      {"SUBSYSTEM", entry.subsystem.c_str(), -1},
      {"CATEGORY", entry.category.c_str(), -1},
      {"SYSLOG_IDENTIFIER", programName(), -1},
  };
  GLogLevelFlags level = entry.level == Level::Error ? G_LOG_LEVEL_CRITICAL : G_LOG_LEVEL_MESSAGE;
  if (g_log_writer_is_journald(STDERR_FILENO) &&
      g_log_writer_journald(level, fields, G_N_ELEMENTS(fields), nullptr) == G_LOG_WRITER_HANDLED) {
    return;
  }
  std::fprintf(stderr, "%s[%d] %s/%s %s: %s\n", programName(),
               static_cast<int>(getpid()), entry.subsystem.c_str(), entry.category.c_str(),
               entry.level == Level::Error ? "error" : "default", entry.message.c_str());
}

}  // namespace

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(Level level, const std::string& message) const {
  Entry entry{subsystem_, category_, level, message};
  {
    std::lock_guard lock(captureMutex());
    if (capture != nullptr) {
      capture->push_back(std::move(entry));
      return;
    }
  }
  write(entry);
}

CaptureSink::CaptureSink() {
  std::lock_guard lock(captureMutex());
  capture = new std::vector<Entry>();
}

CaptureSink::~CaptureSink() {
  std::lock_guard lock(captureMutex());
  delete capture;
  capture = nullptr;
}

std::vector<Entry> CaptureSink::entries() const {
  std::lock_guard lock(captureMutex());
  return *capture;
}

std::vector<std::string> CaptureSink::messages() const {
  std::vector<std::string> out;
  for (const auto& e : entries()) out.push_back(e.message);
  return out;
}

void CaptureSink::clear() {
  std::lock_guard lock(captureMutex());
  capture->clear();
}

}  // namespace oslog
