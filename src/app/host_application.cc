#include "app/host_application.h"

#include <glib-unix.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "app/bus_name.h"
#include "app/data_folder_lock.h"
#include "app/plugin_registration.h"
#include "app/shutdown_hooks.h"
#include "app/url_delivery.h"
#include "bridge/log_line.h"
#include "bridge/lumewell_app_bridge.h"
#include "channels/socket_paths.h"
#include "runtime/files.h"
#include "runtime/relaunch.h"

namespace lumewell::app {
namespace {

// Long enough for the old instance's shutdown hooks (closing a recording, installing an update).
constexpr auto kOldInstanceExitTimeout = std::chrono::seconds(60);
constexpr auto kBusNameReleaseTimeout = std::chrono::seconds(5);
// A recording open at the end is sealed within this, or left as it is on disk.
constexpr auto kShutdownHookTimeout = std::chrono::seconds(2);
// A relaunch waits this long for the old instance's hold on the data folder to go.
constexpr auto kDataFolderLockPatience = std::chrono::seconds(10);

HostApplication* currentHost = nullptr;

}  // namespace

HostApplication::HostApplication(HostOptions options) : options_(std::move(options)) {
  socketPath_ = options_.socketPath.empty() ? defaultSocketPath() : options_.socketPath;
}

HostApplication::~HostApplication() {
  if (currentHost == this) currentHost = nullptr;
  bridge::LumewellAppBridge::shared()->setRestartHandler(nullptr);
  if (app_ != nullptr) g_object_unref(app_);
}

HostApplication* HostApplication::current() { return currentHost; }

int HostApplication::run(const std::string& programName) {
  executable_ = currentExecutablePath();
  if (executable_.empty()) executable_ = programName;

  if (options_.waitForPid) {
    // A restart: become the running instance once the old one has let go of the bus name
    // and the socket, instead of handing this launch to it.
    if (!waitForProcessExit(*options_.waitForPid, kOldInstanceExitTimeout)) {
      std::fprintf(stderr, "Lumewell Recorder: the previous instance (pid %d) is still running\n",
                   static_cast<int>(*options_.waitForPid));
    }
    if (!waitForBusNameRelease(kApplicationId, kBusNameReleaseTimeout)) {
      // This launch is then handed to the holder like any later launch; say why no fresh
      // instance took over.
      std::fprintf(stderr, "Lumewell Recorder: the session bus name %s is still taken\n",
                   kApplicationId);
    }
  }

  app_ = g_application_new(kApplicationId,
                           static_cast<GApplicationFlags>(G_APPLICATION_HANDLES_OPEN |
                                                          G_APPLICATION_HANDLES_COMMAND_LINE));
  g_signal_connect(app_, "startup", G_CALLBACK(&HostApplication::onStartup), this);
  g_signal_connect(app_, "command-line", G_CALLBACK(&HostApplication::onCommandLine), this);
  g_signal_connect(app_, "open", G_CALLBACK(&HostApplication::onOpen), this);
  // A plain activation over the bus: the host is already running; nothing to show.
  g_signal_connect(app_, "activate", G_CALLBACK(+[](GApplication*, gpointer) {}), this);
  g_signal_connect(app_, "shutdown", G_CALLBACK(&HostApplication::onShutdown), this);

  // GApplication sees only the launch arguments: with no option entries of its own and
  // HANDLES_COMMAND_LINE it passes them through raw to the primary instance.
  std::vector<std::string> strings{programName};
  strings.insert(strings.end(), options_.launchArguments.begin(), options_.launchArguments.end());
  std::vector<char*> argv;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  return g_application_run(app_, static_cast<int>(strings.size()), argv.data());
}

void HostApplication::onStartup(GApplication* app, gpointer data) {
  // Runs in the primary instance only.
  auto* self = static_cast<HostApplication*>(data);
  currentHost = self;
  bridge::writeLogLine("Lumewell Recorder AppDelegate initialized");
  if (g_application_get_dbus_connection(app) == nullptr) {
    std::fprintf(stderr,
                 "Lumewell Recorder found no session bus: running as a lone instance; later "
                 "launches cannot hand their URLs to it\n");
  }
  // One primary per data folder, also across session buses (a second login, a stale
  // process): both would write the same recordings.
  auto lock = DataFolderLock::acquire(
      dataHome(), self->options_.waitForPid ? std::chrono::milliseconds(kDataFolderLockPatience)
                                            : std::chrono::milliseconds(0));
  if (!lock && lock.error().code == EWOULDBLOCK) {
    std::fprintf(stderr, "%s\n", lock.error().localizedDescription.c_str());
    return;  // no hold: the application ends after this launch with status 1
  }
  if (lock) {
    self->dataFolderLock_ = std::move(lock).value();
  } else {
    // A folder that cannot be locked (read-only, no flock on its file system) fails the
    // recordings themselves later, with their own errors; the rest of the host still works.
    std::fprintf(stderr, "Lumewell Recorder runs without the data folder lock: %s\n",
                 lock.error().localizedDescription.c_str());
  }
  self->startServing();
}

void HostApplication::startServing() {
  // Signals are caught before the socket appears: a client that connects and at once sends
  // SIGTERM must still get a clean exit with the socket removed.
  for (int signum : {SIGINT, SIGTERM}) {
    signalSources_.push_back(g_unix_signal_add(signum, &HostApplication::onSignal, this));
  }
  auto messenger = SocketHostMessenger::listen(socketPath_);
  if (!messenger) {
    std::fprintf(stderr, "Lumewell Recorder cannot serve its socket: %s\n",
                 messenger.error().localizedDescription.c_str());
    return;  // no hold: the application ends after this launch with status 1
  }
  messenger_ = std::move(messenger.value());
  auto bridge = bridge::LumewellAppBridge::shared();
  bridge->setRestartHandler([this] {
    if (auto error = restart()) {
      std::fprintf(stderr, "Lumewell Recorder could not restart: %s\n",
                   error->localizedDescription.c_str());
    }
  });
  registerHostPlugins(*messenger_);
  serving_ = true;
  g_application_hold(app_);
}

int HostApplication::onCommandLine(GApplication*, GApplicationCommandLine* commandLine,
                                   gpointer data) {
  auto* self = static_cast<HostApplication*>(data);
  if (!self->serving_) return 1;
  int argc = 0;
  gchar** argv = g_application_command_line_get_arguments(commandLine, &argc);
  std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
  g_strfreev(argv);
  self->deliver(arguments);
  return 0;
}

void HostApplication::onOpen(GApplication*, GFile** files, gint count, const gchar*,
                             gpointer data) {
  // Reached through the bus's Open method (not through a launch, which is a command line).
  auto* self = static_cast<HostApplication*>(data);
  if (!self->serving_) return;
  std::vector<std::string> arguments;
  for (gint i = 0; i < count; ++i) {
    gchar* uri = g_file_get_uri(files[i]);
    arguments.emplace_back(uri != nullptr ? uri : "");
    g_free(uri);
  }
  self->deliver(arguments);
}

void HostApplication::deliver(const std::vector<std::string>& arguments) {
  auto bridge = bridge::LumewellAppBridge::shared();
  size_t ignored = deliverLaunchArguments(
      arguments, [&bridge](const std::string& url) { bridge->handleIncomingUrl(url); },
      bridge::writeLogLine);
  if (ignored > 0) {
    std::fprintf(stderr, "Lumewell Recorder ignored %zu further launch arguments\n", ignored);
  }
}

void HostApplication::onShutdown(GApplication*, gpointer data) {
  auto* self = static_cast<HostApplication*>(data);
  for (guint id : self->signalSources_) g_source_remove(id);
  self->signalSources_.clear();
  auto bridge = bridge::LumewellAppBridge::shared();
  // Ending wins over a restart that is still due.
  bridge->setRestartHandler(nullptr);
  if (self->serving_) {
    // Hooks first, while the socket still carries their last events; then the socket goes,
    // and with it the Dart side's stream (its sink must not outlive the messenger).
    shutdownHooks().runAll(g_main_context_default(), kShutdownHookTimeout);
    if (bridge->hasListener()) bridge->onCancel(Value());
    self->messenger_.reset();
    self->serving_ = false;
  }
  if (currentHost == self) currentHost = nullptr;
}

gboolean HostApplication::onSignal(gpointer data) {
  static_cast<HostApplication*>(data)->quit();
  return G_SOURCE_CONTINUE;
}

void HostApplication::quit() {
  if (app_ != nullptr) g_application_quit(app_);
}

OptionalError HostApplication::restart(const std::string& executable) {
  std::vector<std::string> args;
  if (!options_.socketPath.empty()) args = {"--socket", options_.socketPath};
  if (auto error = relaunchAfterExit(executable.empty() ? executable_ : executable, args)) {
    return error;
  }
  quit();
  return std::nullopt;
}

}  // namespace lumewell::app
