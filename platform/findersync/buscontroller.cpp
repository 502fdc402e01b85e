// The extension host's controller: what the principal sets goes out on the
// bus as signals, and is kept for the properties.
#include <gio/gio.h>

#include "findersync.h"
#include "platform/emblems/emblems.h"

namespace findersync {

namespace {

GVariant* pathArray(const foundation::URLSet& urls) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
  for (const auto& url : urls) g_variant_builder_add(&builder, "s", url.path().c_str());
  return g_variant_builder_end(&builder);
}

}  // namespace

BusController::BusController(GDBusConnection* connection)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))) {}

BusController::~BusController() {
  // The host drops the controller on the main thread after its loop ended;
  // badges still gathered then have no one left to read them.
  if (flushSource_ != 0) g_source_remove(flushSource_);
  g_object_unref(connection_);
}

void BusController::emit(const char* signal, GVariant* parameters) const {
  // A failure means the connection is closing; the host then ends anyway.
  g_dbus_connection_emit_signal(connection_, nullptr, kObjectPath.c_str(), kInterfaceName.c_str(), signal,
                                parameters, nullptr);
}

void BusController::setDirectoryURLs(const foundation::URLSet& urls) {
  // Badges set before the folders changed go out before the change.
  flushBadges();
  {
    std::lock_guard lock(mutex_);
    directoryURLs_ = urls;
  }
  emit("DirectoryURLsChanged", g_variant_new("(@as)", pathArray(urls)));
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&changed, "{sv}", "DirectoryURLs", pathArray(urls));
  g_dbus_connection_emit_signal(connection_, nullptr, kObjectPath.c_str(), "org.freedesktop.DBus.Properties",
                                "PropertiesChanged",
                                g_variant_new("(sa{sv}as)", kInterfaceName.c_str(), &changed, nullptr), nullptr);
}

foundation::URLSet BusController::directoryURLs() const {
  std::lock_guard lock(mutex_);
  return directoryURLs_;
}

void BusController::setBadgeIdentifier(const std::string& identifier, const foundation::FileURL& url) {
  std::lock_guard lock(mutex_);
  pendingBadges_.emplace_back(url.path(), identifier);
  if (flushSource_ != 0) return;
  // At default priority, so that a stream of bus calls cannot hold the batch back.
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, flushBadgesSource, this, nullptr);
  flushSource_ = g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

int BusController::flushBadgesSource(void* data) {
  auto* controller = static_cast<BusController*>(data);
  {
    std::lock_guard lock(controller->mutex_);
    controller->flushSource_ = 0;
  }
  controller->flushBadges();
  return G_SOURCE_REMOVE;
}

void BusController::flushBadges() {
  std::vector<std::pair<std::string, std::string>> badges;
  {
    std::lock_guard lock(mutex_);
    badges.swap(pendingBadges_);
  }
  if (badges.empty()) return;
  // Built from ready children: a format string parsed per pair costs more than the pair.
  std::vector<GVariant*> pairs;
  pairs.reserve(badges.size());
  for (const auto& [path, badge] : badges) {
    GVariant* pair[2] = {g_variant_new_string(path.c_str()), g_variant_new_string(badge.c_str())};
    pairs.push_back(g_variant_new_tuple(pair, 2));
  }
  GVariant* changes = g_variant_new_array(G_VARIANT_TYPE("(ss)"), pairs.data(), pairs.size());
  emit("BadgesChanged", g_variant_new_tuple(&changes, 1));
}

void BusController::setBadgeImage(std::shared_ptr<const graphics::Image> image, const std::string& label,
                                  const std::string& identifier) {
  BadgeImageEntry entry{identifier, label, "", ""};
  // Written outside the lock: installing is file work, and one identifier is
  // registered by one caller at a time.
  if (image) {
    // An installed package put the emblems into the system's icon theme;
    // run from a build tree, the extension copies them into the user's.
    auto installed = emblems::themeEmblem(identifier);
    if (!installed) installed = emblems::installEmblem(*image, identifier);
    if (installed) {
      entry.png16Path = installed->path1x;
      entry.png32Path = installed->path2x;
    }
  }
  std::lock_guard lock(mutex_);
  for (auto& existing : images_) {
    if (existing.identifier == identifier) {
      existing = std::move(entry);
      return;
    }
  }
  images_.push_back(std::move(entry));
}

std::vector<BadgeImageEntry> BusController::badgeImages() const {
  std::lock_guard lock(mutex_);
  return images_;
}

std::vector<foundation::FileURL> BusController::selectedItemURLs() const {
  std::lock_guard lock(mutex_);
  return selected_;
}

std::optional<foundation::FileURL> BusController::targetedURL() const {
  std::lock_guard lock(mutex_);
  return targeted_;
}

void BusController::setSelection(std::vector<foundation::FileURL> selected,
                                 std::optional<foundation::FileURL> targeted) {
  std::lock_guard lock(mutex_);
  selected_ = std::move(selected);
  targeted_ = std::move(targeted);
  failure_.reset();
}

void BusController::reportMenuActionFailure(const std::string& reason) {
  std::lock_guard lock(mutex_);
  failure_ = reason;
}

std::optional<std::string> BusController::menuActionFailure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

}  // namespace findersync
