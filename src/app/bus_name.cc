#include "app/bus_name.h"

#include <gio/gio.h>

namespace lumewell::app {
namespace {

// Whether the bus says that name has an owner; not when it cannot tell (registration will
// find out).
bool nameHasOwner(GDBusConnection* bus, const std::string& name) {
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000,
      nullptr, nullptr);
  if (reply == nullptr) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned != FALSE;
}

}  // namespace

bool waitForBusNameRelease(const std::string& name, std::chrono::milliseconds timeout) {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) return true;
  const gint64 deadline = g_get_monotonic_time() + timeout.count() * 1000;
  bool owned;
  while ((owned = nameHasOwner(bus, name)) && g_get_monotonic_time() < deadline) {
    g_usleep(10 * 1000);
  }
  g_object_unref(bus);
  return !owned;
}

}  // namespace lumewell::app
