#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channels/socket_client_messenger.h"
#include "channels/standard_codec.h"
#include "support/main_loop_helpers.h"
#include "support/process_runner.h"
#include "support/test_files.h"

namespace lumewell::testing {

// A private desktop session: its own runtime, home, data and config folders in a temp dir and
// its own session bus (dbus-daemon started and stopped by pid). Processes started through it
// see only these. Orphans of the processes it starts (a relaunched host, the instances that
// `gio open` starts) become this process's children, so that they are reaped and stopped too.
class PrivateDesktop {
 public:
  explicit PrivateDesktop(bool withSessionBus = true);
  ~PrivateDesktop();
  PrivateDesktop(const PrivateDesktop&) = delete;
  PrivateDesktop& operator=(const PrivateDesktop&) = delete;

  const std::string& root() const { return dir_.path(); }
  std::string runtimeDir() const { return root() + "/run"; }
  std::string dataHome() const { return root() + "/data"; }
  std::string configHome() const { return root() + "/config"; }
  std::string defaultSocketPath() const { return runtimeDir() + "/lumewell-recorder/host.sock"; }
  std::vector<std::string> environment() const;

  // Installs the application's .desktop file (its Exec pointing at the built host) into the
  // private data folder and makes it the default handler of "lumewell:" URLs.
  void installUrlHandler(const std::string& hostExecutable, const std::string& desktopFile);

  // Starts a process in this session (extraEnv: NAME=value); stopped with the desktop.
  pid_t start(const std::vector<std::string>& argv, const std::string& logName,
              const std::vector<std::string>& extraEnv = {});
  // Its exit status; none when it did not end in time.
  std::optional<int> run(const std::vector<std::string>& argv, const std::string& logName,
                         const std::vector<std::string>& extraEnv = {}) {
    return waitForChild(start(argv, logName, extraEnv));
  }
  // Stops this pid too when the desktop goes away (a process this test did not start).
  void track(pid_t pid) { tracked_.push_back(pid); }
  std::string logPath(const std::string& logName) const { return root() + "/" + logName; }

 private:
  TempDir dir_;
  std::string busAddress_;
  pid_t busPid_ = -1;
  std::vector<pid_t> tracked_;
};

// The Dart side's end, on the default main context.
class HostClient {
 public:
  static std::unique_ptr<HostClient> connect(const std::string& socketPath,
                                             std::chrono::milliseconds patience = kPatience);
  explicit HostClient(std::unique_ptr<SocketClientMessenger> messenger)
      : messenger_(std::move(messenger)) {}

  // None when the connection broke.
  std::optional<MethodEnvelope> call(const std::string& channel, const std::string& method,
                                     const Value& arguments = Value());
  bool listen(const std::string& channel);
  bool waitForEvents(const std::string& channel, size_t n,
                     std::chrono::milliseconds timeout = kPatience);
  const std::vector<Value>& events(const std::string& channel) { return events_[channel]; }
  // The pid of the host process serving the connection (SO_PEERCRED).
  pid_t hostPid() const;

 private:
  std::unique_ptr<SocketClientMessenger> messenger_;
  std::map<std::string, std::vector<Value>> events_;
};

// xdg-open hands a URL to its scheme's handler only in a graphical session; this names a
// (never contacted) display so that it does, as it would on a desktop.
inline const std::vector<std::string> kGraphicalSession = {"WAYLAND_DISPLAY=wayland-lumewell-test"};

bool waitForText(const std::string& path, const std::string& text,
                 std::chrono::milliseconds timeout = kPatience);
size_t countText(const std::string& path, const std::string& text);

}  // namespace lumewell::testing
