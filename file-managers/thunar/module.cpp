// The module's entry points and its one GObject type, KorvaneProvider,
// Thunar's menu provider.
#include <memory>
#include <string>

#include "file-managers/core/paths.h"
#include "file-managers/thunar/provider.h"

namespace {

struct KorvaneProvider {
  GObject parent;
};
struct KorvaneProviderClass {
  GObjectClass parent;
};

GType providerType = 0;
std::shared_ptr<filemanagers::BadgeClient> sharedClient;

void registerProviderType(ThunarxProviderPlugin* plugin) {
  const GTypeInfo info{sizeof(KorvaneProviderClass), nullptr, nullptr, nullptr, nullptr, nullptr,
                       sizeof(KorvaneProvider),      0,       nullptr, nullptr};
  providerType =
      thunarx_provider_plugin_register_type(plugin, G_TYPE_OBJECT, "KorvaneThunarProvider", &info, GTypeFlags(0));
  const GInterfaceInfo menuProvider{
      [](gpointer iface, gpointer) { korvanethunar::initMenuProvider(static_cast<ThunarxMenuProviderIface*>(iface)); },
      nullptr, nullptr};
  thunarx_provider_plugin_add_interface(plugin, providerType, THUNARX_TYPE_MENU_PROVIDER, &menuProvider);
}

}  // namespace

namespace korvanethunar {

filemanagers::BadgeClient* client() { return sharedClient.get(); }

std::string localPath(ThunarxFileInfo* file) {
  GFile* location = thunarx_file_info_get_location(file);
  if (!location) return {};
  char* path = g_file_get_path(location);
  g_object_unref(location);
  if (!path) return {};
  std::string result = filemanagers::standardLocalPath(path).value_or("");
  g_free(path);
  return result;
}

}  // namespace korvanethunar

extern "C" {

// Thunar calls these three on its main thread: initialize when it loads the
// module, list_types right after, shutdown when it exits.
__attribute__((visibility("default"))) void thunar_extension_initialize(ThunarxProviderPlugin* plugin) {
  if (thunarx_check_version(THUNARX_MAJOR_VERSION, THUNARX_MINOR_VERSION, THUNARX_MICRO_VERSION) != nullptr) return;
  // The client's bus subscriptions point into this module: it must never be
  // unloaded while Thunar runs.
  thunarx_provider_plugin_set_resident(plugin, TRUE);
  registerProviderType(plugin);
  std::string error;
  // Without a session bus there is no menu; Thunar works on.
  sharedClient = filemanagers::BadgeClient::create({}, &error);
}

__attribute__((visibility("default"))) void thunar_extension_list_types(const GType** types, gint* count) {
  *types = &providerType;
  *count = providerType != 0 ? 1 : 0;
}

__attribute__((visibility("default"))) void thunar_extension_shutdown(void) { sharedClient.reset(); }
}
