// The module's entry points and its one GObject type, KorvaneProvider, which
// is both Nemo's info provider (badges) and its menu provider.
#include <string>

#include "file-managers/core/paths.h"
#include "file-managers/nemo/provider.h"

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
                       [](GTypeInstance* instance, gpointer) { korvanenemo::followProvider(G_OBJECT(instance)); },
                       nullptr};
  providerType = g_type_module_register_type(module, G_TYPE_OBJECT, "KorvaneProvider", &info, GTypeFlags(0));
  const GInterfaceInfo infoProvider{
      [](gpointer iface, gpointer) { korvanenemo::initInfoProvider(static_cast<NemoInfoProviderInterface*>(iface)); },
      nullptr, nullptr};
  g_type_module_add_interface(module, providerType, NEMO_TYPE_INFO_PROVIDER, &infoProvider);
  const GInterfaceInfo menuProvider{
      [](gpointer iface, gpointer) { korvanenemo::initMenuProvider(static_cast<NemoMenuProviderInterface*>(iface)); },
      nullptr, nullptr};
  g_type_module_add_interface(module, providerType, NEMO_TYPE_MENU_PROVIDER, &menuProvider);
}

}  // namespace

namespace korvanenemo {

filemanagers::BadgeClient* client() { return sharedClient.get(); }

std::string localPath(NemoFileInfo* file) {
  GFile* location = nemo_file_info_get_location(file);
  if (!location) return {};
  char* path = g_file_get_path(location);
  g_object_unref(location);
  if (!path) return {};
  std::string result = filemanagers::standardLocalPath(path).value_or("");
  g_free(path);
  return result;
}

}  // namespace korvanenemo

extern "C" {

// Nemo calls these three on its main thread: initialize when it loads the
// module, list_types right after, shutdown when it exits.
__attribute__((visibility("default"))) void nemo_module_initialize(GTypeModule* module) {
  registerProviderType(module);
  std::string error;
  // Without a session bus there are no badges and no menu; Nemo works on.
  sharedClient = filemanagers::BadgeClient::create({}, &error);
  if (sharedClient) {
    korvanenemo::followBadgeChanges(*sharedClient);
    korvanenemo::followMenuChanges(*sharedClient);
  }
}

__attribute__((visibility("default"))) void nemo_module_list_types(const GType** types, int* count) {
  *types = &providerType;
  *count = 1;
}

__attribute__((visibility("default"))) void nemo_module_shutdown(void) { sharedClient.reset(); }
}
