// The extension host: owns the bus name, serves the principal on the bus and
// runs the main loop (NSExtensionMain).
#include <gio/gio.h>
#include <glib-unix.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "busconnection.h"
#include "findersync.h"
#include "platform/dispatch/dispatch.h"

namespace findersync {

namespace {

constexpr const char* kIntrospection = R"(<node>
  <interface name='com.korvaneapp.v3.FinderSync'>
    <method name='BeginObservingDirectory'><arg name='path' type='s' direction='in'/></method>
    <method name='EndObservingDirectory'><arg name='path' type='s' direction='in'/></method>
    <method name='RequestBadge'><arg name='path' type='s' direction='in'/></method>
    <method name='RequestBadges'><arg name='paths' type='as' direction='in'/></method>
    <method name='GetMenu'>
      <arg name='kind' type='u' direction='in'/>
      <arg name='present' type='b' direction='out'/>
      <arg name='title' type='s' direction='out'/>
      <arg name='items' type='a(ss)' direction='out'/>
    </method>
    <method name='ChooseMenuItem'>
      <arg name='action' type='s' direction='in'/>
      <arg name='selected' type='as' direction='in'/>
      <arg name='targeted' type='s' direction='in'/>
    </method>
    <signal name='BadgesChanged'><arg name='changes' type='a(ss)'/></signal>
    <signal name='DirectoryURLsChanged'><arg name='paths' type='as'/></signal>
    <property name='DirectoryURLs' type='as' access='read'/>
    <property name='BadgeImages' type='a(ssss)' access='read'/>
  </interface>
</node>)";

constexpr const char* kUnknownActionError = "com.korvaneapp.v3.FinderSync.Error.UnknownAction";
constexpr const char* kActionFailedError = "com.korvaneapp.v3.FinderSync.Error.ActionFailed";

struct Host {
  std::shared_ptr<FinderSync> principal;
  std::shared_ptr<BusController> controller;
};

GDBusInterfaceInfo* interfaceInfo() {
  static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);  // lives with the process
  return node->interfaces[0];
}

bool isAbsolutePath(const char* path) { return path[0] == '/'; }

void refusePath(GDBusMethodInvocation* invocation, const char* path) {
  g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                        "not an absolute path: \"%s\"", path);
}

GVariant* menuReply(const menus::Menu* menu) {
  GVariantBuilder items;
  g_variant_builder_init(&items, G_VARIANT_TYPE("a(ss)"));
  if (menu == nullptr || menu->items().empty()) return g_variant_new("(bsa(ss))", FALSE, "", &items);
  const menus::MenuItem& top = menu->items().front();
  if (top.submenu) {
    for (const auto& item : top.submenu->items()) {
      if (item.isSeparator) {
        g_variant_builder_add(&items, "(ss)", "", "");
      } else {
        g_variant_builder_add(&items, "(ss)", item.title.c_str(), item.action.c_str());
      }
    }
  }
  return g_variant_new("(bsa(ss))", TRUE, top.title.c_str(), &items);
}

void chooseMenuItem(Host& host, GVariant* parameters, GDBusMethodInvocation* invocation) {
  const char* action = nullptr;
  GVariantIter* selectedIter = nullptr;
  const char* targeted = nullptr;
  g_variant_get(parameters, "(&sas&s)", &action, &selectedIter, &targeted);
  std::vector<foundation::FileURL> selected;
  std::optional<std::string> refused;
  const char* path = nullptr;
  while (g_variant_iter_next(selectedIter, "&s", &path)) {
    if (!isAbsolutePath(path) && !refused) refused = path;
    selected.push_back(foundation::FileURL::fileURLWithPath(path));
  }
  g_variant_iter_free(selectedIter);
  if (refused) {
    refusePath(invocation, refused->c_str());
    return;
  }
  if (targeted[0] != '\0' && !isAbsolutePath(targeted)) {
    refusePath(invocation, targeted);
    return;
  }
  std::optional<foundation::FileURL> target;
  if (targeted[0] != '\0') target = foundation::FileURL::fileURLWithPath(targeted);

  // Calls are handled one at a time, so the selection belongs to this action
  // alone until it is cleared.
  host.controller->setSelection(std::move(selected), std::move(target));
  bool known = host.principal->performMenuAction(action);
  std::optional<std::string> failure = host.controller->menuActionFailure();
  host.controller->setSelection({}, std::nullopt);
  if (!known) {
    g_dbus_method_invocation_return_dbus_error(invocation, kUnknownActionError,
                                               (std::string("no menu action \"") + action + "\"").c_str());
    return;
  }
  if (failure) {
    g_dbus_method_invocation_return_dbus_error(invocation, kActionFailedError, failure->c_str());
    return;
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

// RequestBadge for each path, in order; a refused path refuses the whole call
// before anything is asked, as a single RequestBadge would be refused.
void requestBadges(Host& host, GVariant* parameters, GDBusMethodInvocation* invocation) {
  GVariant* paths = g_variant_get_child_value(parameters, 0);
  gsize count = 0;
  const gchar** array = g_variant_get_strv(paths, &count);
  for (gsize i = 0; i < count; ++i) {
    if (!isAbsolutePath(array[i])) {
      refusePath(invocation, array[i]);
      g_free(array);
      g_variant_unref(paths);
      return;
    }
  }
  for (gsize i = 0; i < count; ++i) {
    host.principal->requestBadgeIdentifierForURL(foundation::FileURL::fileURLWithPath(array[i]));
  }
  g_free(array);
  g_variant_unref(paths);
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void handleMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* methodName,
                      GVariant* parameters, GDBusMethodInvocation* invocation, gpointer userData) {
  Host& host = *static_cast<Host*>(userData);
  std::string method = methodName;
  if (method == "BeginObservingDirectory" || method == "EndObservingDirectory" || method == "RequestBadge") {
    const char* path = nullptr;
    g_variant_get(parameters, "(&s)", &path);
    if (!isAbsolutePath(path)) {
      refusePath(invocation, path);
      return;
    }
    auto url = foundation::FileURL::fileURLWithPath(path);
    if (method == "BeginObservingDirectory") host.principal->beginObservingDirectoryAtURL(url);
    if (method == "EndObservingDirectory") host.principal->endObservingDirectoryAtURL(url);
    if (method == "RequestBadge") host.principal->requestBadgeIdentifierForURL(url);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  if (method == "RequestBadges") {
    requestBadges(host, parameters, invocation);
    return;
  }
  if (method == "GetMenu") {
    guint32 kind = 0;
    g_variant_get(parameters, "(u)", &kind);
    auto menu = host.principal->menuForMenuKind(kind);
    g_dbus_method_invocation_return_value(invocation, menuReply(menu.get()));
    return;
  }
  if (method == "ChooseMenuItem") {
    chooseMenuItem(host, parameters, invocation);
    return;
  }
  g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD, "no method %s",
                                        methodName);
}

GVariant* handleGetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* propertyName,
                            GError** error, gpointer userData) {
  Host& host = *static_cast<Host*>(userData);
  if (std::strcmp(propertyName, "DirectoryURLs") == 0) {
    GVariantBuilder paths;
    g_variant_builder_init(&paths, G_VARIANT_TYPE("as"));
    for (const auto& url : host.controller->directoryURLs()) g_variant_builder_add(&paths, "s", url.path().c_str());
    return g_variant_builder_end(&paths);
  }
  if (std::strcmp(propertyName, "BadgeImages") == 0) {
    GVariantBuilder images;
    g_variant_builder_init(&images, G_VARIANT_TYPE("a(ssss)"));
    for (const auto& image : host.controller->badgeImages()) {
      g_variant_builder_add(&images, "(ssss)", image.identifier.c_str(), image.label.c_str(), image.png16Path.c_str(),
                            image.png32Path.c_str());
    }
    return g_variant_builder_end(&images);
  }
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", propertyName);
  return nullptr;
}

const GDBusInterfaceVTable kVTable = {handleMethodCall, handleGetProperty, nullptr, {}};

// The activating bus when the bus started this process, else the session bus.
GDBusConnection* connectToBus(std::string* error) {
  GBusType type = g_getenv("DBUS_STARTER_ADDRESS") != nullptr ? G_BUS_TYPE_STARTER : G_BUS_TYPE_SESSION;
  return openBusConnection(type, error);
}

GVariant* callBus(GDBusConnection* connection, const char* method, GVariant* parameters, const char* replyType,
                  std::string* error) {
  GError* gerror = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", method, parameters,
                                                G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr,
                                                &gerror);
  if (reply == nullptr) {
    *error = gerror->message;
    g_error_free(gerror);
  }
  return reply;
}

bool nameHasOwner(GDBusConnection* connection) {
  std::string ignored;
  GVariant* reply = callBus(connection, "NameHasOwner", g_variant_new("(s)", kBusName.c_str()), "(b)", &ignored);
  if (reply == nullptr) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

constexpr guint32 kNameFlagDoNotQueue = 4;
constexpr guint32 kNameReplyPrimaryOwner = 1;

bool requestName(GDBusConnection* connection, std::string* error) {
  GVariant* reply = callBus(connection, "RequestName", g_variant_new("(su)", kBusName.c_str(), kNameFlagDoNotQueue),
                            "(u)", error);
  if (reply == nullptr) return false;
  guint32 result = 0;
  g_variant_get(reply, "(u)", &result);
  g_variant_unref(reply);
  if (result == kNameReplyPrimaryOwner) return true;
  *error = "another finder-extension already owns " + kBusName + " on this session bus";
  return false;
}

gboolean quitOnSignal(gpointer) {
  dispatch::quitMain();
  return G_SOURCE_CONTINUE;
}

void quitOnClose(GDBusConnection*, gboolean, GError*, gpointer) { dispatch::quitMain(); }

int installService(const char* program) {
  gchar* executable = g_file_read_link("/proc/self/exe", nullptr);
  if (executable == nullptr || !g_path_is_absolute(g_get_user_data_dir())) {
    std::fprintf(stderr, "%s: cannot tell where this program or the user's data folder is\n", program);
    g_free(executable);
    return 1;
  }
  gchar* folder = g_build_filename(g_get_user_data_dir(), "dbus-1", "services", nullptr);
  gchar* file = g_build_filename(folder, (kBusName + ".service").c_str(), nullptr);
  gchar* quoted = g_shell_quote(executable);
  std::string content = "[D-BUS Service]\nName=" + kBusName + "\nExec=" + quoted + "\n";
  GError* gerror = nullptr;
  int status = 0;
  if (g_mkdir_with_parents(folder, 0700) != 0) {
    std::fprintf(stderr, "%s: cannot create %s: %s\n", program, folder, g_strerror(errno));
    status = 1;
  } else if (!g_file_set_contents(file, content.c_str(), static_cast<gssize>(content.size()), &gerror)) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", program, file, gerror->message);
    g_error_free(gerror);
    status = 1;
  } else {
    std::printf("%s\n", file);
  }
  g_free(quoted);
  g_free(file);
  g_free(folder);
  g_free(executable);
  return status;
}

int usage(const char* program, FILE* out, int status) {
  std::fprintf(out,
               "usage: %s [--install-service | --help]\n"
               "Serves the Korvane badges and menu on the session bus as %s until the bus\n"
               "goes away or the process gets SIGTERM or SIGINT.\n"
               "  --install-service  write the D-Bus service file that lets the session bus\n"
               "                     start this program on demand, and exit\n",
               program, kBusName.c_str());
  return status;
}

// Everything the running host holds, released in the reverse order of setup.
struct Session {
  GDBusConnection* connection = nullptr;
  std::shared_ptr<dispatch::Queue> calls;
  Host host;
  guint registration = 0;
  gulong closedHandler = 0;
  std::vector<guint> signalSources;

  ~Session() {
    for (guint source : signalSources) g_source_remove(source);
    if (registration != 0) g_dbus_connection_unregister_object(connection, registration);
    calls.reset();  // after the last call it was running
    host.principal.reset();
    setDefaultController(nullptr);
    host.controller.reset();
    if (connection == nullptr) return;
    if (closedHandler != 0) g_signal_handler_disconnect(connection, closedHandler);
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
  }
};

}  // namespace

int NSExtensionMain(int argc, char** argv, const std::function<std::shared_ptr<FinderSync>()>& makePrincipal) {
  gchar* base = g_path_get_basename(argc > 0 ? argv[0] : "finder-extension");
  std::string program = base;
  g_free(base);
  if (argc > 2) return usage(program.c_str(), stderr, 2);
  if (argc == 2) {
    if (std::strcmp(argv[1], "--install-service") == 0) return installService(program.c_str());
    if (std::strcmp(argv[1], "--help") == 0) return usage(program.c_str(), stdout, 0);
    return usage(program.c_str(), stderr, 2);
  }

  Session session;
  std::string error;
  session.connection = connectToBus(&error);
  if (session.connection == nullptr) {
    std::fprintf(stderr, "%s: cannot connect to the session bus: %s\n", program.c_str(), error.c_str());
    return 1;
  }
  // Checked before the principal exists so that a second instance touches
  // nothing; requesting the name at the end settles a race between two.
  if (nameHasOwner(session.connection)) {
    std::fprintf(stderr, "%s: another finder-extension already owns %s on this session bus\n", program.c_str(),
                 kBusName.c_str());
    return 1;
  }

  session.host.controller = std::make_shared<BusController>(session.connection);
  setDefaultController(session.host.controller);
  session.host.principal = makePrincipal();
  if (!session.host.principal) {
    std::fprintf(stderr, "%s: the extension could not start\n", program.c_str());
    return 1;
  }

  // Registered from the calls queue's thread, so that GDBus delivers every
  // method call and property read to that queue's context.
  session.calls = dispatch::makeSerialQueue("com.korvaneapp.v3.FinderSync.calls");
  GError* gerror = nullptr;
  session.calls->sync([&] {
    session.registration = g_dbus_connection_register_object(session.connection, kObjectPath.c_str(),
                                                              interfaceInfo(), &kVTable, &session.host, nullptr,
                                                              &gerror);
  });
  if (session.registration == 0) {
    std::fprintf(stderr, "%s: cannot serve %s: %s\n", program.c_str(), kObjectPath.c_str(), gerror->message);
    g_error_free(gerror);
    return 1;
  }
  // Taken before the name is, so that a signal sent as soon as the name
  // appears ends the service cleanly instead of by the default action.
  session.signalSources.push_back(g_unix_signal_add(SIGTERM, quitOnSignal, nullptr));
  session.signalSources.push_back(g_unix_signal_add(SIGINT, quitOnSignal, nullptr));
  if (!requestName(session.connection, &error)) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
    return 1;
  }

  session.closedHandler = g_signal_connect(session.connection, "closed", G_CALLBACK(quitOnClose), nullptr);
  if (g_dbus_connection_is_closed(session.connection)) return 0;
  dispatch::runMain();
  return 0;
}

}  // namespace findersync
