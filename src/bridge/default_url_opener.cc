#include "bridge/default_url_opener.h"

#include <gio/gio.h>

#include <memory>

namespace lumewell::bridge {
namespace {

struct PendingOpen {
  std::function<void(bool)> done;
};

void onLaunched(GObject*, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingOpen> pending(static_cast<PendingOpen*>(data));
  GError* error = nullptr;
  gboolean ok = g_app_info_launch_default_for_uri_finish(result, &error);
  if (error != nullptr) g_error_free(error);
  pending->done(ok != FALSE);
}

}  // namespace

void openUrlWithDefaultHandler(const std::string& url, std::function<void(bool opened)> done) {
  // Asynchronous: looking up and starting the handler must not stall the main loop.
  g_app_info_launch_default_for_uri_async(url.c_str(), nullptr, nullptr, &onLaunched,
                                          new PendingOpen{std::move(done)});
}

}  // namespace lumewell::bridge
