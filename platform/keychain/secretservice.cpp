// The Secret Service backend of the keychain store, on libsecret.
//
// Every store call runs libsecret's asynchronous operations on a main
// context of its own and waits for them there, under one deadline: when
// the service has not answered after kSecretServiceTimeoutSeconds the
// outstanding D-Bus calls are cancelled and the call fails. Nothing here
// prompts: searches never unlock, and a locked item or collection fails.
#include <libsecret/secret.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/keychain/dhsession.h"
#include "platform/keychain/keychain.h"
#include "platform/log/log.h"

namespace keychain {
namespace {

struct AttributeName {
  const std::string* key;
  const char* name;
  bool bytes = false;  // a Data value, stored as lower-case hex text
};

// One kind of item: its class constant, Secret Service schema and the
// attributes that it stores as strings.
struct Kind {
  const std::string* secClass;
  SecretSchema schema;
  std::vector<AttributeName> attributes;
  bool synchronizable;  // stores kSecAttrSynchronizable as "synchronizable"
  const std::string* defaultLabel;
  const char* contentType = "text/plain";  // of the secret
};

const Kind& internetKind() {
  static const Kind kind = {
      &kSecClassInternetPassword,
      {"com.korvaneapp.keychain.InternetPassword",
       SECRET_SCHEMA_NONE,
       {{"protocol", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"path", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"access-group", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"synchronizable", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}}},
      {{&kSecAttrProtocol, "protocol"},
       {&kSecAttrServer, "server"},
       {&kSecAttrPath, "path"},
       {&kSecAttrAccount, "account"},
       {&kSecAttrAccessGroup, "access-group"}},
      true,
      &kSecAttrServer,
  };
  return kind;
}

const Kind& genericKind() {
  static const Kind kind = {
      &kSecClassGenericPassword,
      {"com.korvaneapp.keychain.GenericPassword",
       SECRET_SCHEMA_NONE,
       {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}}},
      {{&kSecAttrService, "service"}, {&kSecAttrAccount, "account"}},
      false,
      &kSecAttrService,
  };
  return kind;
}

// Certificates are found by serial number and issuer, as the host's
// certificate items are unique by them.
const Kind& certificateKind() {
  static const Kind kind = {
      &kSecClassCertificate,
      {"com.korvaneapp.keychain.Certificate",
       SECRET_SCHEMA_NONE,
       {{"serial-number", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"issuer", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}}},
      {{&kSecAttrSerialNumber, "serial-number", true}, {&kSecAttrIssuer, "issuer", true}},
      false,
      &kSecAttrLabel,
      "application/pkix-cert",
  };
  return kind;
}

// Keys are found by application tag and label, and by the hash of their
// public key (the application label) when an identity looks for the key of
// a certificate.
const Kind& keyKind() {
  static const Kind kind = {
      &kSecClassKey,
      {"com.korvaneapp.keychain.Key",
       SECRET_SCHEMA_NONE,
       {{"application-tag", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"application-label", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"label", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"key-type", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"key-class", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}}},
      {{&kSecAttrApplicationTag, "application-tag", true},
       {&kSecAttrApplicationLabel, "application-label", true},
       {&kSecAttrLabel, "label"},
       {&kSecAttrKeyType, "key-type"},
       {&kSecAttrKeyClass, "key-class"}},
      false,
      &kSecAttrLabel,
      "application/pkcs8",
  };
  return kind;
}

const Kind* kindOf(const Dictionary& query) {
  auto secClass = query.text(kSecClass);
  if (secClass == kSecClassInternetPassword) return &internetKind();
  if (secClass == kSecClassGenericPassword) return &genericKind();
  if (secClass == kSecClassCertificate) return &certificateKind();
  if (secClass == kSecClassKey) return &keyKind();
  return nullptr;
}

std::string hexOf(const Data& data) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (auto byte : data) {
    hex += digits[byte >> 4];
    hex += digits[byte & 0xf];
  }
  return hex;
}

std::optional<Data> bytesOfHex(const std::string& hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  Data data;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int high = nibble(hex[i]);
    int low = nibble(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    data.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return data;
}

// The attribute's value as the Secret Service stores it.
std::optional<std::string> storedText(const AttributeName& attribute, const Dictionary& dictionary) {
  if (!attribute.bytes) return dictionary.text(*attribute.key);
  auto data = dictionary.data(*attribute.key);
  if (!data) return std::nullopt;
  return hexOf(*data);
}

// Sets the attribute from its stored text; hex that does not decode is left out.
void setFromStored(Dictionary& dictionary, const AttributeName& attribute, const std::string& text) {
  if (!attribute.bytes) {
    dictionary.set(*attribute.key, text);
    return;
  }
  if (auto data = bytesOfHex(text)) dictionary.set(*attribute.key, std::move(*data));
}

template <typename T>
struct Unref {
  void operator()(T* object) const { g_object_unref(object); }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref<T>>;

struct HashUnref {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using Table = std::unique_ptr<GHashTable, HashUnref>;

struct ValueUnref {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};

struct ErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

Table newTable() { return Table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free)); }

void put(GHashTable* table, const char* name, const std::string& value) {
  g_hash_table_replace(table, g_strdup(name), g_strdup(value.c_str()));
}

// The Secret Service attributes that a query or an attribute set names.
// For a search, a missing kSecAttrSynchronizable means "false" and
// kSecAttrSynchronizableAny leaves the attribute out.
Table attributesOf(const Kind& kind, const Dictionary& dictionary) {
  Table table = newTable();
  for (const auto& attribute : kind.attributes) {
    if (auto value = storedText(attribute, dictionary)) put(table.get(), attribute.name, *value);
  }
  if (kind.synchronizable && dictionary.text(kSecAttrSynchronizable) != kSecAttrSynchronizableAny) {
    put(table.get(), "synchronizable", dictionary.boolean(kSecAttrSynchronizable).value_or(false) ? "true" : "false");
  }
  return table;
}

OSStatus statusFor(const GError* error) {
  if (error->domain == SECRET_ERROR) {
    switch (error->code) {
      case SECRET_ERROR_IS_LOCKED: return errSecInteractionNotAllowed;
      case SECRET_ERROR_NO_SUCH_OBJECT: return errSecItemNotFound;
      case SECRET_ERROR_ALREADY_EXISTS: return errSecDuplicateItem;
      default: return errSecInternalComponent;
    }
  }
  // Our own deadline is told apart by the caller; any other cancellation
  // is a prompt that the user dismissed.
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return errSecUserCanceled;
  if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED) ||
      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_AUTH_FAILED))
    return errSecAuthFailed;
  // No bus, no service on it, a service that died or timed out.
  if (error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR) return errSecNotAvailable;
  return errSecInternalComponent;
}

// One store call: a deadline for all the round trips it makes, on the
// store's own main context.
class Call {
 public:
  explicit Call(GMainContext* context) : context_(context), cancellable_(g_cancellable_new()) {
    g_main_context_push_thread_default(context_);
    timer_ = g_timeout_source_new_seconds(kSecretServiceTimeoutSeconds);
    g_source_set_callback(timer_, &Call::onDeadline, this, nullptr);
    g_source_attach(timer_, context_);
  }
  ~Call() {
    g_source_destroy(timer_);
    g_source_unref(timer_);
    g_object_unref(cancellable_);
    g_main_context_pop_thread_default(context_);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // Starts an operation with the call's cancellable and a completion
  // callback, and runs the context until it completes; returns its result,
  // or none when the deadline passed first. Some steps (the bus handshake)
  // do not heed cancellation, so an operation still running then is
  // abandoned: its completion, if it ever comes, only frees its slot.
  Ref<GAsyncResult> wait(const std::function<void(GCancellable*, GAsyncReadyCallback, gpointer)>& start) {
    return finish(begin(start));
  }

  // The two halves of wait(), for operations that run side by side.
  struct Pending;
  Pending* begin(const std::function<void(GCancellable*, GAsyncReadyCallback, gpointer)>& start) {
    auto* pending = new Pending;
    start(cancellable_, &Call::onReady, pending);
    return pending;
  }
  Ref<GAsyncResult> finish(Pending* pending) {
    while (pending->result == nullptr && !deadlinePassed_) g_main_context_iteration(context_, TRUE);
    if (pending->result == nullptr) {
      pending->abandoned = true;
      return nullptr;
    }
    Ref<GAsyncResult> result(pending->result);
    delete pending;
    return result;
  }

  OSStatus fail(const GError* error) const { return deadlinePassed_ ? errSecNotAvailable : statusFor(error); }

  struct Pending {
    GAsyncResult* result = nullptr;
    bool abandoned = false;
  };

 private:
  static void onReady(GObject*, GAsyncResult* result, gpointer data) {
    auto* pending = static_cast<Pending*>(data);
    if (pending->abandoned) {
      delete pending;
      return;
    }
    pending->result = G_ASYNC_RESULT(g_object_ref(result));
  }
  static gboolean onDeadline(gpointer self) {
    auto* call = static_cast<Call*>(self);
    call->deadlinePassed_ = true;
    g_cancellable_cancel(call->cancellable_);
    return G_SOURCE_REMOVE;
  }

  GMainContext* context_;
  GCancellable* cancellable_;
  GSource* timer_ = nullptr;
  bool deadlinePassed_ = false;
};

struct VariantUnref {
  void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

constexpr char kBusName[] = "org.freedesktop.secrets";
constexpr char kServicePath[] = "/org/freedesktop/secrets";
constexpr char kServiceInterface[] = "org.freedesktop.Secret.Service";

GVariant* stringDictionary(GHashTable* table) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
  GHashTableIter it;
  gpointer name = nullptr;
  gpointer value = nullptr;
  g_hash_table_iter_init(&it, table);
  while (g_hash_table_iter_next(&it, &name, &value))
    g_variant_builder_add(&builder, "{ss}", static_cast<const char*>(name), static_cast<const char*>(value));
  return g_variant_builder_end(&builder);
}

GVariant* objectPathArray(const std::vector<std::string>& paths) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("ao"));
  for (const auto& path : paths) g_variant_builder_add(&builder, "o", path.c_str());
  return g_variant_builder_end(&builder);
}

// The object paths of child `index` (an "ao") of a reply.
std::vector<std::string> objectPaths(GVariant* reply, gsize index) {
  std::vector<std::string> paths;
  Variant array(g_variant_get_child_value(reply, index));
  GVariantIter it;
  const char* path = nullptr;
  g_variant_iter_init(&it, array.get());
  while (g_variant_iter_next(&it, "&o", &path)) paths.emplace_back(path);
  return paths;
}

// An item's dictionary from its D-Bus properties (Attributes, Label).
Dictionary itemDictionary(const Kind& kind, GVariant* reply) {
  Dictionary dictionary;
  dictionary.set(kSecClass, *kind.secClass);
  Variant properties(g_variant_get_child_value(reply, 0));
  Variant attributes(g_variant_lookup_value(properties.get(), "Attributes", G_VARIANT_TYPE("a{ss}")));
  auto text = [&](const char* name) -> std::optional<std::string> {
    const char* value = nullptr;
    if (!attributes || !g_variant_lookup(attributes.get(), name, "&s", &value)) return std::nullopt;
    return std::string(value);
  };
  for (const auto& attribute : kind.attributes) {
    if (auto value = text(attribute.name)) setFromStored(dictionary, attribute, *value);
  }
  if (kind.synchronizable) dictionary.set(kSecAttrSynchronizable, text("synchronizable") == "true");
  const char* label = nullptr;
  if (g_variant_lookup(properties.get(), "Label", "&s", &label)) dictionary.set(kSecAttrLabel, std::string(label));
  return dictionary;
}

// The secret of one item from a GetSecrets reply: decrypted with the
// session's key, or as sent over a plain session (no key).
std::optional<Data> secretFor(const DHSession* key, GVariant* reply, const std::string& path) {
  Variant secrets(g_variant_get_child_value(reply, 0));
  Variant secret(g_variant_lookup_value(secrets.get(), path.c_str(), G_VARIANT_TYPE("(oayays)")));
  if (!secret) return std::nullopt;
  Variant parameters(g_variant_get_child_value(secret.get(), 1));
  Variant value(g_variant_get_child_value(secret.get(), 2));
  gsize ivLength = 0;
  gsize length = 0;
  auto* iv = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(parameters.get(), &ivLength, 1));
  auto* bytes = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(value.get(), &length, 1));
  if (key != nullptr) return key->decrypt(iv, ivLength, bytes, length);
  return Data(bytes, bytes + length);
}

GVariant* byteArray(const Data& data) {
  return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data.data(), data.size(), 1);
}

// Closes an open session (the reply of OpenSession) when it goes, without
// waiting for the answer. The service would close it only when this
// connection goes, and a process that reads again must not pile them up.
class SessionCloser {
 public:
  SessionCloser(GDBusConnection* bus, GVariant* session) : bus_(bus), session_(session) {}
  ~SessionCloser() {
    if (session_ == nullptr) return;
    const char* path = nullptr;
    g_variant_get_child(session_, 1, "&o", &path);
    g_dbus_connection_call(bus_, kBusName, path, "org.freedesktop.Secret.Session", "Close", nullptr, nullptr,
                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
  }
  SessionCloser(const SessionCloser&) = delete;
  SessionCloser& operator=(const SessionCloser&) = delete;

 private:
  GDBusConnection* bus_;
  GVariant* session_;
};

class SecretServiceStore : public Store {
 public:
  SecretServiceStore() : context_(g_main_context_new()) {}
  ~SecretServiceStore() override { g_main_context_unref(context_); }
  SecretServiceStore(const SecretServiceStore&) = delete;
  SecretServiceStore& operator=(const SecretServiceStore&) = delete;

  // Reads talk to the Secret Service's D-Bus interface directly rather than
  // through libsecret's proxies: the search and the encrypted session are
  // opened side by side, then the items' properties and secrets are fetched
  // side by side, which saves several round trips on every password ssh
  // asks for. A capture of the bus holds only the secrets' ciphertext.
  OSStatus copyMatching(const Dictionary& query, std::vector<Dictionary>* result) override {
    const Kind* kind = kindOf(query);
    if (kind == nullptr) return errSecParam;
    bool withData = query.boolean(kSecReturnData).value_or(false);
    bool all = query.text(kSecMatchLimit) == kSecMatchLimitAll;
    auto label = query.text(kSecAttrLabel);
    Call call(context_);
    GDBusConnection* bus = nullptr;
    if (OSStatus status = connectBus(call, &bus)) return status;

    Table attributes = attributesOf(*kind, query);
    put(attributes.get(), "xdg:schema", kind->schema.name);
    std::unique_ptr<DHSession> key;
    if (withData && !(key = DHSession::make())) return errSecInternalComponent;
    auto* searching = begin(call, bus, kServicePath, kServiceInterface, "SearchItems",
                            g_variant_new("(@a{ss})", stringDictionary(attributes.get())), "(aoao)");
    Call::Pending* opening = nullptr;
    if (withData) {
      opening = begin(call, bus, kServicePath, kServiceInterface, "OpenSession",
                      g_variant_new("(s@v)", kEncryptedAlgorithm, g_variant_new_variant(byteArray(key->publicKey()))),
                      "(vo)");
    }
    OSStatus status = errSecSuccess;
    Variant found = finish(call, bus, searching, &status);
    Variant session = opening ? finishSession(call, bus, opening, &key, &status) : nullptr;
    SessionCloser closer(bus, session.get());
    if (status != errSecSuccess) return status;

    std::vector<std::string> unlocked = objectPaths(found.get(), 0);
    std::vector<std::string> locked = objectPaths(found.get(), 1);
    std::vector<std::string> candidates = unlocked;
    if (!withData) candidates.insert(candidates.end(), locked.begin(), locked.end());
    if (candidates.empty()) return locked.empty() ? errSecItemNotFound : errSecInteractionNotAllowed;
    // One item answers a single-match query unless its label must be checked.
    if (!all && !label) candidates.resize(1);

    std::vector<Call::Pending*> reading;
    for (const auto& path : candidates) {
      reading.push_back(begin(call, bus, path.c_str(), "org.freedesktop.DBus.Properties", "GetAll",
                              g_variant_new("(s)", "org.freedesktop.Secret.Item"), "(a{sv})"));
    }
    Call::Pending* fetching = nullptr;
    if (withData) {
      const char* sessionPath = nullptr;
      g_variant_get_child(session.get(), 1, "&o", &sessionPath);
      fetching = begin(call, bus, kServicePath, kServiceInterface, "GetSecrets",
                       g_variant_new("(@aoo)", objectPathArray(candidates), sessionPath), "(a{o(oayays)})");
    }
    // The key is worked out while the service answers.
    if (key && !agree(*key, session.get())) status = errSecInternalComponent;
    std::vector<Variant> properties;
    for (auto* pending : reading) properties.push_back(finish(call, bus, pending, &status));
    Variant secrets = fetching ? finish(call, bus, fetching, &status) : nullptr;
    if (status != errSecSuccess) return status;

    std::vector<Dictionary> matches;
    for (std::size_t i = 0; i < candidates.size() && (all || matches.empty()); ++i) {
      auto dictionary = itemDictionary(*kind, properties[i].get());
      if (label && dictionary.text(kSecAttrLabel) != label) continue;
      if (withData) {
        auto secret = secretFor(key.get(), secrets.get(), candidates[i]);
        // The item exists: one whose secret cannot be read is a failure to
        // report, not an item that is missing.
        if (!secret) {
          logUnreadableSecret(dictionary);
          return errSecDecode;
        }
        dictionary.set(kSecValueData, std::move(*secret));
      }
      matches.push_back(std::move(dictionary));
    }
    if (matches.empty()) return errSecItemNotFound;
    if (result != nullptr) *result = std::move(matches);
    return errSecSuccess;
  }

  OSStatus add(const Dictionary& attributes) override {
    const Kind* kind = kindOf(attributes);
    if (kind == nullptr) return errSecParam;
    Call call(context_);
    Dictionary exact = attributes;
    if (kind->synchronizable && !attributes.boolean(kSecAttrSynchronizable))
      exact.set(kSecAttrSynchronizable, false);
    std::vector<Ref<SecretItem>> items;
    OSStatus status = search(call, *kind, exact, false, &items);
    if (status != errSecSuccess && status != errSecItemNotFound) return status;
    Table wanted = attributesOf(*kind, exact);
    for (const auto& item : items) {
      if (sameAttributes(*kind, wanted.get(), item.get())) return errSecDuplicateItem;
    }

    SecretService* service = nullptr;
    if (OSStatus status = connect(call, &service)) return status;
    auto data = attributes.data(kSecValueData).value_or(Data{});
    std::unique_ptr<SecretValue, ValueUnref> secret(secret_value_new(
        reinterpret_cast<const gchar*>(data.data()), static_cast<gssize>(data.size()), kind->contentType));
    wipe(data);  // libsecret keeps its own copy in secure memory
    auto label = attributes.text(kSecAttrLabel).value_or(attributes.text(*kind->defaultLabel).value_or(""));
    auto done = call.wait([&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer slot) {
      secret_service_store(service, &kind->schema, wanted.get(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                           secret.get(), cancellable, callback, slot);
    });
    if (!done) return errSecNotAvailable;
    GError* error = nullptr;
    if (!secret_service_store_finish(service, done.get(), &error)) return failWith(call, error);
    return errSecSuccess;
  }

  OSStatus update(const Dictionary& query, const Dictionary& attributes) override {
    const Kind* kind = kindOf(query);
    if (kind == nullptr) return errSecParam;
    Call call(context_);
    std::vector<Ref<SecretItem>> items;
    if (OSStatus status = search(call, *kind, query, false, &items)) return status;
    for (const auto& item : items) {
      if (secret_item_get_locked(item.get())) return errSecInteractionNotAllowed;
    }
    for (const auto& item : items) {
      if (OSStatus status = updateItem(call, *kind, item.get(), attributes)) return status;
    }
    return errSecSuccess;
  }

  OSStatus remove(const Dictionary& query) override {
    const Kind* kind = kindOf(query);
    if (kind == nullptr) return errSecParam;
    Call call(context_);
    std::vector<Ref<SecretItem>> items;
    if (OSStatus status = search(call, *kind, query, false, &items)) return status;
    for (const auto& item : items) {
      auto done = call.wait([&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer slot) {
        secret_item_delete(item.get(), cancellable, callback, slot);
      });
      if (!done) return errSecNotAvailable;
      GError* error = nullptr;
      if (!secret_item_delete_finish(item.get(), done.get(), &error)) return failWith(call, error);
    }
    return errSecSuccess;
  }

 private:
  OSStatus connectBus(Call& call, GDBusConnection** bus) {
    if (bus_) {
      *bus = bus_.get();
      return errSecSuccess;
    }
    auto done = call.wait([](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer slot) {
      g_bus_get(G_BUS_TYPE_SESSION, cancellable, callback, slot);
    });
    if (!done) return errSecNotAvailable;
    GError* error = nullptr;
    GDBusConnection* got = g_bus_get_finish(done.get(), &error);
    if (got == nullptr) return failWith(call, error);
    bus_.reset(got);
    *bus = got;
    return errSecSuccess;
  }

  static Call::Pending* begin(Call& call, GDBusConnection* bus, const char* path, const char* interface,
                              const char* method, GVariant* arguments, const char* replyType) {
    return call.begin([&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer slot) {
      g_dbus_connection_call(bus, kBusName, path, interface, method, arguments, G_VARIANT_TYPE(replyType),
                             G_DBUS_CALL_FLAGS_NONE, kSecretServiceTimeoutSeconds * 1000, cancellable, callback,
                             slot);
    });
  }

  // The reply of a call begun with begin(); none, with *status set unless an
  // earlier failure set it already, when the call failed.
  static Variant finish(Call& call, GDBusConnection* bus, Call::Pending* pending, OSStatus* status) {
    auto done = call.finish(pending);
    if (!done) {
      if (*status == errSecSuccess) *status = errSecNotAvailable;
      return nullptr;
    }
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(bus, done.get(), &error);
    if (reply == nullptr) {
      OSStatus failed = failWith(call, error);
      if (*status == errSecSuccess) *status = failed;
      return nullptr;
    }
    return Variant(reply);
  }

  static OSStatus failWith(const Call& call, GError* raw) {
    Error error(raw);
    return call.fail(error.get());
  }

  // The reply of an OpenSession call begun with the encrypted algorithm. A
  // service that refuses the algorithm gets
  // a plain session, logged, and *key is reset.
  Variant finishSession(Call& call, GDBusConnection* bus, Call::Pending* opening, std::unique_ptr<DHSession>* key,
                        OSStatus* status) {
    auto done = call.finish(opening);
    if (!done) {
      if (*status == errSecSuccess) *status = errSecNotAvailable;
      return nullptr;
    }
    GError* raw = nullptr;
    Variant reply(g_dbus_connection_call_finish(bus, done.get(), &raw));
    Error error(raw);
    if (!reply && g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED)) {
      logPlainSession();
      key->reset();
      auto* plain = begin(call, bus, kServicePath, kServiceInterface, "OpenSession",
                          g_variant_new("(s@v)", "plain", g_variant_new_variant(g_variant_new_string(""))), "(vo)");
      return finish(call, bus, plain, status);
    }
    if (!reply) {
      if (*status == errSecSuccess) *status = call.fail(error.get());
      return nullptr;
    }
    return reply;
  }

  // Agrees on the session's key with the service's public key, the output
  // of OpenSession.
  static bool agree(DHSession& key, GVariant* session) {
    Variant output(g_variant_get_child_value(session, 0));
    Variant peer(g_variant_get_variant(output.get()));
    if (!g_variant_is_of_type(peer.get(), G_VARIANT_TYPE_BYTESTRING)) return false;
    gsize length = 0;
    const void* bytes = g_variant_get_fixed_array(peer.get(), &length, 1);
    return key.agree(static_cast<const std::uint8_t*>(bytes), length);
  }

  // Names the item by its attributes; the secret is never written.
  void logUnreadableSecret(const Dictionary& item) const {
    auto quoted = [&](const std::string& key) { return "\"" + item.text(key).value_or("") + "\""; };
    std::string service = quoted(kSecAttrLabel);
    if (item.find(kSecAttrServer) != nullptr) service = quoted(kSecAttrServer);
    if (item.find(kSecAttrService) != nullptr) service = quoted(kSecAttrService);
    log_.error("the secret of the keychain item for " + service + ", account " + quoted(kSecAttrAccount) +
               " could not be decrypted");
  }

  void logPlainSession() const {
    log_.error("the Secret Service refused an encrypted session; secrets cross the session bus unencrypted");
  }

  // libsecret's service with its session open: libsecret negotiates the
  // encrypted session and falls back to "plain" only when the service
  // refuses it.
  OSStatus connect(Call& call, SecretService** service) {
    if (service_) {
      *service = service_.get();
      return errSecSuccess;
    }
    auto done = call.wait([](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer slot) {
      secret_service_get(SECRET_SERVICE_OPEN_SESSION, cancellable, callback, slot);
    });
    if (!done) return errSecNotAvailable;
    GError* error = nullptr;
    SecretService* got = secret_service_get_finish(done.get(), &error);
    if (got == nullptr) return failWith(call, error);
    service_.reset(got);
    if (g_strcmp0(secret_service_get_session_algorithms(got), "plain") == 0) logPlainSession();
    *service = got;
    return errSecSuccess;
  }

  // Every item of the kind whose attributes match the query, locked ones too.
  OSStatus search(Call& call, const Kind& kind, const Dictionary& query, bool loadSecrets,
                  std::vector<Ref<SecretItem>>* items) {
    SecretService* service = nullptr;
    if (OSStatus status = connect(call, &service)) return status;
    Table attributes = attributesOf(kind, query);
    int flags = SECRET_SEARCH_ALL | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0);
    auto done = call.wait([&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer slot) {
      secret_service_search(service, &kind.schema, attributes.get(), static_cast<SecretSearchFlags>(flags),
                            cancellable, callback, slot);
    });
    if (!done) return errSecNotAvailable;
    GError* error = nullptr;
    GList* list = secret_service_search_finish(service, done.get(), &error);
    if (error != nullptr) return failWith(call, error);
    for (GList* l = list; l != nullptr; l = l->next) {
      SecretItem* item = SECRET_ITEM(l->data);
      // The label is matched here; the Secret Service searches attributes only.
      auto label = query.text(kSecAttrLabel);
      gchar* itemLabel = secret_item_get_label(item);
      bool labelMatches = !label || (itemLabel != nullptr && *label == itemLabel);
      g_free(itemLabel);
      if (labelMatches) items->emplace_back(SECRET_ITEM(g_object_ref(item)));
    }
    g_list_free_full(list, g_object_unref);
    return items->empty() ? errSecItemNotFound : errSecSuccess;
  }

  // Same value, or both absent, for every attribute of the kind.
  static bool sameAttributes(const Kind& kind, GHashTable* wanted, SecretItem* item) {
    Table have(secret_item_get_attributes(item));
    for (const SecretSchemaAttribute* a = kind.schema.attributes; a->name != nullptr; ++a) {
      auto* x = static_cast<const char*>(g_hash_table_lookup(wanted, a->name));
      auto* y = static_cast<const char*>(g_hash_table_lookup(have.get(), a->name));
      if (x == nullptr || y == nullptr) {
        if (x != y) return false;
        continue;
      }
      if (std::string(x) != y) return false;
    }
    return true;
  }

  OSStatus updateItem(Call& call, const Kind& kind, SecretItem* item, const Dictionary& changes) {
    Table merged(secret_item_get_attributes(item));
    Table changed = attributesOf(kind, changes);
    if (kind.synchronizable && !changes.find(kSecAttrSynchronizable))
      g_hash_table_remove(changed.get(), "synchronizable");
    GHashTableIter it;
    gpointer name = nullptr;
    gpointer value = nullptr;
    g_hash_table_iter_init(&it, changed.get());
    while (g_hash_table_iter_next(&it, &name, &value))
      put(merged.get(), static_cast<const char*>(name), static_cast<const char*>(value));
    // The schema name is set by libsecret from the schema itself.
    g_hash_table_remove(merged.get(), "xdg:schema");

    auto done = call.wait([&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer slot) {
      secret_item_set_attributes(item, &kind.schema, merged.get(), cancellable, callback, slot);
    });

    if (!done) return errSecNotAvailable;
    GError* error = nullptr;
    if (!secret_item_set_attributes_finish(item, done.get(), &error)) return failWith(call, error);

    if (auto label = changes.text(kSecAttrLabel)) {
      auto labelled = call.wait([&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer slot) {
        secret_item_set_label(item, label->c_str(), cancellable, callback, slot);
      });
      if (!labelled) return errSecNotAvailable;
      if (!secret_item_set_label_finish(item, labelled.get(), &error)) return failWith(call, error);
    }
    if (auto data = changes.data(kSecValueData)) {
      std::unique_ptr<SecretValue, ValueUnref> secret(secret_value_new(
          reinterpret_cast<const gchar*>(data->data()), static_cast<gssize>(data->size()), kind.contentType));
      wipe(*data);
      auto stored = call.wait([&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer slot) {
        secret_item_set_secret(item, secret.get(), cancellable, callback, slot);
      });
      if (!stored) return errSecNotAvailable;
      if (!secret_item_set_secret_finish(item, stored.get(), &error)) return failWith(call, error);
    }
    return errSecSuccess;
  }

  GMainContext* context_;
  Ref<GDBusConnection> bus_;
  Ref<SecretService> service_;
  oslog::Logger log_{"com.korvaneapp.v3.keychain", "SecretService"};
};

}  // namespace

std::shared_ptr<Store> makeSecretServiceStore() { return std::make_shared<SecretServiceStore>(); }

}  // namespace keychain
