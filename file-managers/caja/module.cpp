// The module's entry points and its one GObject type, KorvaneProvider, which
// is both Caja's info provider (badges) and its menu provider.
#include <string>

#include "file-managers/caja/provider.h"
#include "file-managers/core/paths.h"

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
                       [](GTypeInstance* instance, gpointer) { korvanecaja::followProvider(G_OBJECT(instance)); },
                       nullptr};
  providerType = g_type_module_register_type(module, G_TYPE_OBJECT, "KorvaneProvider", &info, GTypeFlags(0));
  const GInterfaceInfo infoProvider{
      [](gpointer iface, gpointer) { korvanecaja::initInfoProvider(static_cast<CajaInfoProviderIface*>(iface)); },
      nullptr, nullptr};
  g_type_module_add_interface(module, providerType, CAJA_TYPE_INFO_PROVIDER, &infoProvider);
  const GInterfaceInfo menuProvider{
      [](gpointer iface, gpointer) { korvanecaja::initMenuProvider(static_cast<CajaMenuProviderIface*>(iface)); },
      nullptr, nullptr};
  g_type_module_add_interface(module, providerType, CAJA_TYPE_MENU_PROVIDER, &menuProvider);
}

}  // namespace

namespace korvanecaja {

filemanagers::BadgeClient* client() { return sharedClient.get(); }

std::string localPath(CajaFileInfo* file) {
  GFile* location = caja_file_info_get_location(file);
  if (!location) return {};
  char* path = g_file_get_path(location);
  g_object_unref(location);
  if (!path) return {};
  std::string result = filemanagers::standardLocalPath(path).value_or("");
  g_free(path);
  return result;
}

}  // namespace korvanecaja

extern "C" {

// Caja calls these three on its main thread: initialize when it loads the
// module, list_types right after, shutdown when it exits.
__attribute__((visibility("default"))) void caja_module_initialize(GTypeModule* module) {
  registerProviderType(module);
  std::string error;
  // Without a session bus there are no badges and no menu; Caja works on.
  sharedClient = filemanagers::BadgeClient::create({}, &error);
  if (sharedClient) {
    korvanecaja::followBadgeChanges(*sharedClient);
    korvanecaja::followMenuChanges(*sharedClient);
  }
}

__attribute__((visibility("default"))) void caja_module_list_types(const GType** types, int* count) {
  *types = &providerType;
  *count = 1;
}

__attribute__((visibility("default"))) void caja_module_shutdown(void) { sharedClient.reset(); }
}
