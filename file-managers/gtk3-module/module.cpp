// The module's entry points and its one GObject type, KorvaneProvider, which
// is both the file manager's info provider (badges) and its menu provider.
#include <string>

#include "file-managers/core/paths.h"
#include "file-managers/gtk3-module/provider.h"

namespace {

struct KorvaneProvider {
  GObject parent;
};
struct KorvaneProviderClass {
  GObjectClass parent;
};

GType providerType = 0;
std::shared_ptr<filemanagers::BadgeClient> sharedClient;

void registerProviderType(GTypeModule* module) {
  const GTypeInfo info{sizeof(KorvaneProviderClass),
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr,
                       sizeof(KorvaneProvider),
                       0,
                       [](GTypeInstance* instance, gpointer) { korvanegtk3::followProvider(G_OBJECT(instance)); },
                       nullptr};
  providerType = g_type_module_register_type(module, G_TYPE_OBJECT, "KorvaneProvider", &info, GTypeFlags(0));
  const GInterfaceInfo infoProvider{
      [](gpointer iface, gpointer) {
        korvanegtk3::initInfoProvider(static_cast<korvanegtk3::fm::InfoProviderInterface*>(iface));
      },
      nullptr, nullptr};
  g_type_module_add_interface(module, providerType, korvanegtk3::fm::infoProviderType(), &infoProvider);
  const GInterfaceInfo menuProvider{
      [](gpointer iface, gpointer) {
        korvanegtk3::initMenuProvider(static_cast<korvanegtk3::fm::MenuProviderInterface*>(iface));
      },
      nullptr, nullptr};
  g_type_module_add_interface(module, providerType, korvanegtk3::fm::menuProviderType(), &menuProvider);
}

}  // namespace

namespace korvanegtk3 {

filemanagers::BadgeClient* client() { return sharedClient.get(); }

std::string localPath(fm::FileInfo* file) {
  GFile* location = fm::location(file);
  if (!location) return {};
  char* path = g_file_get_path(location);
  g_object_unref(location);
  if (!path) return {};
  std::string result = filemanagers::standardLocalPath(path).value_or("");
  g_free(path);
  return result;
}

}  // namespace korvanegtk3

extern "C" {

// The file manager calls these three on its main thread: initialize when it
// loads the module, list_types right after, shutdown when it exits.
__attribute__((visibility("default"))) void KRV_GTK3_MODULE_ENTRY(initialize)(GTypeModule* module) {
  registerProviderType(module);
  std::string error;
  // Without a session bus there are no badges and no menu; the file manager
  // works on.
  sharedClient = filemanagers::BadgeClient::create({}, &error);
  if (sharedClient) {
    korvanegtk3::followBadgeChanges(*sharedClient);
    korvanegtk3::followMenuChanges(*sharedClient);
  }
}

__attribute__((visibility("default"))) void KRV_GTK3_MODULE_ENTRY(list_types)(const GType** types, int* count) {
  *types = &providerType;
  *count = 1;
}

__attribute__((visibility("default"))) void KRV_GTK3_MODULE_ENTRY(shutdown)(void) { sharedClient.reset(); }
}
