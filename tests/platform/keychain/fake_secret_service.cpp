// krv-fake-secret-service: a Secret Service on the session bus that serves
// two internet passwords to readers, for what a real keyring cannot be made
// to do on demand.
//
// - server "readable", account "svnuser": the secret "readable-secret",
//   sent as a real dh-ietf1024-sha256-aes128-cbc-pkcs7 service sends it;
// - server "undecryptable", account "svnuser": a block that decrypts under
//   the session key but whose padding is wrong, so it cannot be decrypted.
//
// For each session it prints one line, "session PRK AES", with the HKDF
// pseudo-random key and the AES key in hex, each byte XORed with 0x5a: a
// test can then search its own memory for the keys without holding them.
// It serves until killed.
#include <gcrypt.h>
#include <gio/gio.h>
#include <sys/random.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kPrimeHex[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF";
constexpr char kItemPath[] = "/org/freedesktop/secrets/collection/fake/";
constexpr std::uint8_t kMask = 0x5a;

constexpr char kIntrospection[] = R"(<node>
  <interface name="org.freedesktop.Secret.Service">
    <method name="OpenSession">
      <arg type="s" direction="in"/><arg type="v" direction="in"/>
      <arg type="v" direction="out"/><arg type="o" direction="out"/>
    </method>
    <method name="SearchItems">
      <arg type="a{ss}" direction="in"/><arg type="ao" direction="out"/><arg type="ao" direction="out"/>
    </method>
    <method name="GetSecrets">
      <arg type="ao" direction="in"/><arg type="o" direction="in"/>
      <arg type="a{o(oayays)}" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.Secret.Session"><method name="Close"/></interface>
  <interface name="org.freedesktop.Secret.Item">
    <property name="Attributes" type="a{ss}" access="read"/>
    <property name="Label" type="s" access="read"/>
  </interface>
</node>)";

GDBusNodeInfo* node = nullptr;
Bytes sessionKey;  // the AES key of the latest session

Bytes hmacSha256(const Bytes& key, const Bytes& data) {
  gcry_md_hd_t md = nullptr;
  gcry_md_open(&md, GCRY_MD_SHA256, GCRY_MD_FLAG_HMAC);
  gcry_md_setkey(md, key.data(), key.size());
  gcry_md_write(md, data.data(), data.size());
  const unsigned char* digest = gcry_md_read(md, GCRY_MD_SHA256);
  Bytes out(digest, digest + 32);
  gcry_md_close(md);
  return out;
}

std::string maskedHex(const Bytes& bytes) {
  std::string hex;
  char two[3];
  for (auto byte : bytes) {
    std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(byte ^ kMask));
    hex += two;
  }
  return hex;
}

GVariant* byteArray(const Bytes& bytes) {
  return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
}

// Diffie-Hellman with the reader's public key, then HKDF-SHA256 as the
// algorithm prescribes; returns our public key.
Bytes openSession(const Bytes& peer) {
  gcry_mpi_t prime = nullptr;
  gcry_mpi_scan(&prime, GCRYMPI_FMT_HEX, kPrimeHex, 0, nullptr);
  std::array<std::uint8_t, 32> random{};
  getrandom(random.data(), random.size(), 0);
  gcry_mpi_t exponent = nullptr;
  gcry_mpi_scan(&exponent, GCRYMPI_FMT_USG, random.data(), random.size(), nullptr);
  gcry_mpi_t peerNumber = nullptr;
  gcry_mpi_scan(&peerNumber, GCRYMPI_FMT_USG, peer.data(), peer.size(), nullptr);
  gcry_mpi_t two = gcry_mpi_set_ui(nullptr, 2);
  gcry_mpi_t ours = gcry_mpi_new(0);
  gcry_mpi_t shared = gcry_mpi_new(0);
  gcry_mpi_powm(ours, two, exponent, prime);
  gcry_mpi_powm(shared, peerNumber, exponent, prime);
  Bytes publicKey(128);
  std::size_t written = 0;
  gcry_mpi_print(GCRYMPI_FMT_USG, publicKey.data(), publicKey.size(), &written, ours);
  publicKey.resize(written);
  Bytes ikm(128);
  gcry_mpi_print(GCRYMPI_FMT_USG, ikm.data(), ikm.size(), &written, shared);
  ikm.insert(ikm.begin(), 128 - written, 0);
  ikm.resize(128);
  for (auto mpi : {prime, exponent, peerNumber, two, ours, shared}) gcry_mpi_release(mpi);

  Bytes prk = hmacSha256(Bytes(32, 0), ikm);
  Bytes okm = hmacSha256(prk, Bytes{1});
  sessionKey.assign(okm.begin(), okm.begin() + 16);
  std::printf("session %s %s\n", maskedHex(prk).c_str(), maskedHex(sessionKey).c_str());
  std::fflush(stdout);
  return publicKey;
}

Bytes encrypt(const Bytes& iv, const Bytes& plain) {
  gcry_cipher_hd_t cipher = nullptr;
  gcry_cipher_open(&cipher, GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CBC, 0);
  gcry_cipher_setkey(cipher, sessionKey.data(), sessionKey.size());
  gcry_cipher_setiv(cipher, iv.data(), iv.size());
  Bytes out(plain.size());
  gcry_cipher_encrypt(cipher, out.data(), out.size(), plain.data(), plain.size());
  gcry_cipher_close(cipher);
  return out;
}

// The block sent for an item: PKCS #7-padded, or, for the undecryptable
// one, a block whose last byte (0) is no padding at all.
Bytes plaintextOf(const std::string& item) {
  if (item == "undecryptable") return Bytes(16, 0);
  std::string secret = "readable-secret";
  Bytes plain(secret.begin(), secret.end());
  std::size_t padding = 16 - plain.size() % 16;
  plain.insert(plain.end(), padding, static_cast<std::uint8_t>(padding));
  return plain;
}

void serviceCall(GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* method,
                 GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
  if (g_strcmp0(interface, "org.freedesktop.Secret.Session") == 0) {
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  if (g_strcmp0(method, "OpenSession") == 0) {
    const char* algorithm = nullptr;
    GVariant* input = nullptr;
    g_variant_get(parameters, "(&sv)", &algorithm, &input);
    gsize length = 0;
    auto* peer = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(input, &length, 1));
    Bytes ours = openSession(Bytes(peer, peer + length));
    g_variant_unref(input);
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(@vo)", g_variant_new_variant(byteArray(ours)), "/org/freedesktop/secrets/session/1"));
    return;
  }
  if (g_strcmp0(method, "SearchItems") == 0) {
    GVariant* attributes = g_variant_get_child_value(parameters, 0);
    const char* server = nullptr;
    GVariantBuilder found;
    g_variant_builder_init(&found, G_VARIANT_TYPE("ao"));
    if (g_variant_lookup(attributes, "server", "&s", &server) &&
        (g_strcmp0(server, "readable") == 0 || g_strcmp0(server, "undecryptable") == 0)) {
      g_variant_builder_add(&found, "o", (std::string(kItemPath) + server).c_str());
    }
    g_variant_unref(attributes);
    GVariantBuilder locked;
    g_variant_builder_init(&locked, G_VARIANT_TYPE("ao"));
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(aoao)", &found, &locked));
    return;
  }
  // GetSecrets
  GVariantIter* items = nullptr;
  const char* session = nullptr;
  g_variant_get(parameters, "(ao&o)", &items, &session);
  GVariantBuilder secrets;
  g_variant_builder_init(&secrets, G_VARIANT_TYPE("a{o(oayays)}"));
  const char* path = nullptr;
  while (g_variant_iter_next(items, "&o", &path)) {
    Bytes iv(16, 7);
    Bytes ciphertext = encrypt(iv, plaintextOf(std::string(path).substr(sizeof kItemPath - 1)));
    g_variant_builder_add(&secrets, "{o(o@ay@ays)}", path, session, byteArray(iv), byteArray(ciphertext),
                          "text/plain");
  }
  g_variant_iter_free(items);
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(a{o(oayays)})", &secrets));
}

GVariant* itemProperty(GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar* property,
                       GError**, gpointer) {
  std::string server = std::string(path).substr(sizeof kItemPath - 1);
  if (g_strcmp0(property, "Label") == 0) return g_variant_new_string(server.c_str());
  GVariantBuilder attributes;
  g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
  g_variant_builder_add(&attributes, "{ss}", "xdg:schema", "com.korvaneapp.keychain.InternetPassword");
  g_variant_builder_add(&attributes, "{ss}", "protocol", "svn+ssh");
  g_variant_builder_add(&attributes, "{ss}", "server", server.c_str());
  g_variant_builder_add(&attributes, "{ss}", "account", "svnuser");
  g_variant_builder_add(&attributes, "{ss}", "synchronizable", "false");
  return g_variant_builder_end(&attributes);
}

void onBus(GDBusConnection* bus, const gchar*, gpointer) {
  static const GDBusInterfaceVTable calls = {serviceCall, nullptr, nullptr, {}};
  static const GDBusInterfaceVTable properties = {nullptr, itemProperty, nullptr, {}};
  g_dbus_connection_register_object(bus, "/org/freedesktop/secrets", node->interfaces[0], &calls, nullptr, nullptr,
                                    nullptr);
  g_dbus_connection_register_object(bus, "/org/freedesktop/secrets/session/1", node->interfaces[1], &calls, nullptr,
                                    nullptr, nullptr);
  for (const char* server : {"readable", "undecryptable"}) {
    g_dbus_connection_register_object(bus, (std::string(kItemPath) + server).c_str(), node->interfaces[2],
                                      &properties, nullptr, nullptr, nullptr);
  }
}

}  // namespace

int main() {
  gcry_check_version(nullptr);
  gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  g_bus_own_name(G_BUS_TYPE_SESSION, "org.freedesktop.secrets", G_BUS_NAME_OWNER_FLAGS_NONE, onBus, nullptr,
                 [](GDBusConnection*, const gchar*, gpointer) { std::exit(1); }, nullptr, nullptr);
  g_main_loop_run(g_main_loop_new(nullptr, FALSE));
}
