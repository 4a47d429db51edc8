#pragma once

#include <gio/gio.h>

#include <memory>
#include <string>
#include <vector>

#include "app/data_folder_lock.h"
#include "app/host_options.h"
#include "channels/socket_host_messenger.h"
#include "runtime/error.h"
#include "runtime/files.h"

namespace lumewell::app {

// The host executable: one instance per user session over the session bus. The first launch
// serves the channels on the socket and registers the plug-ins; a later launch hands its
// arguments to the running instance and exits 0. A primary whose data folder another host
// holds exits 1. Ends on SIGINT/SIGTERM, on quit and on
// restart: shutdown hooks run, then the socket is removed.
class HostApplication {
 public:
  explicit HostApplication(HostOptions options);
  ~HostApplication();
  HostApplication(const HostApplication&) = delete;
  HostApplication& operator=(const HostApplication&) = delete;

  // Runs to the end; returns the exit status. programName is argv[0].
  int run(const std::string& programName);

  // Ends the main loop (main thread).
  void quit();
  // Starts a fresh instance (of executable, or else of this program) that takes over once
  // this one has exited, then quits. On an error nothing quits: the host goes on rather than
  // vanish without a successor.
  [[nodiscard]] OptionalError restart(const std::string& executable = {});

  // The running host, if any (main thread).
  static HostApplication* current();

 private:
  static void onStartup(GApplication* app, gpointer self);
  static int onCommandLine(GApplication* app, GApplicationCommandLine* commandLine, gpointer self);
  static void onOpen(GApplication* app, GFile** files, gint count, const gchar* hint,
                     gpointer self);
  static void onShutdown(GApplication* app, gpointer self);
  static gboolean onSignal(gpointer self);
  void startServing();
  void deliver(const std::vector<std::string>& arguments);

  HostOptions options_;
  std::string socketPath_;
  std::string executable_;
  GApplication* app_ = nullptr;
  std::unique_ptr<DataFolderLock> dataFolderLock_;
  std::unique_ptr<SocketHostMessenger> messenger_;
  bool serving_ = false;
  std::vector<guint> signalSources_;
};

}  // namespace lumewell::app
