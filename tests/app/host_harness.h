#pragma once

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "channels/method_channel.h"
#include "channels/socket_client_messenger.h"
#include "channels/standard_codec.h"
#include "support/main_loop_helpers.h"
#include "support/process_runner.h"
#include "support/test_files.h"

extern char** environ;

namespace lumewell::testing {

inline bool waitForText(const std::string& path, const std::string& text,
                        std::chrono::milliseconds timeout = kPatience) {
  return spinUntil(
      g_main_context_default(), [&] { return readFile(path).find(text) != std::string::npos; },
      timeout);
}

inline size_t countText(const std::string& path, const std::string& text) {
  const std::string content = readFile(path);
  size_t count = 0;
  for (size_t at = 0; (at = content.find(text, at)) != std::string::npos; at += text.size())
    ++count;
  return count;
}

// A private desktop session: runtime, home, data, config and cache folders in a temp dir, and
// its own session bus. Orphans of the processes it starts (a relaunched host, what `gio open`
// starts) become this process's children, so that they are reaped and stopped too.
class PrivateDesktop {
 public:
  explicit PrivateDesktop(bool withSessionBus = true) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (const char* dir : {"/run", "/data/applications", "/config", "/home", "/cache"}) {
      g_mkdir_with_parents((root() + dir).c_str(), 0700);
    }
    if (!withSessionBus) return;
    const std::string addressFile = logPath("dbus.address");  // printed once it listens
    busPid_ = spawnProcess({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                            "--address=unix:path=" + runtimeDir() + "/bus", "--print-address"},
                           environment(), addressFile, logPath("dbus.log"));
    if (!waitForText(addressFile, "\n")) throw std::runtime_error("dbus-daemon printed no address");
    const std::string address = readFile(addressFile);
    busAddress_ = address.substr(0, address.find('\n'));
  }
  ~PrivateDesktop() {
    for (auto it = tracked_.rbegin(); it != tracked_.rend(); ++it) stopProcess(*it);
    if (busPid_ > 0) stopProcess(busPid_);
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {  // whatever else ended up as our child
    }
  }
  PrivateDesktop(const PrivateDesktop&) = delete;
  PrivateDesktop& operator=(const PrivateDesktop&) = delete;

  const std::string& root() const { return dir_.path(); }
  std::string runtimeDir() const { return root() + "/run"; }
  std::string dataHome() const { return root() + "/data"; }
  std::string defaultSocketPath() const { return runtimeDir() + "/lumewell-recorder/host.sock"; }
  std::vector<std::string> environment() const {
    const std::string replaced =
        " DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR HOME XDG_DATA_HOME XDG_CONFIG_HOME"
        " XDG_CACHE_HOME DISPLAY WAYLAND_DISPLAY GIO_USE_VFS XDG_CURRENT_DESKTOP ";
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (replaced.find(" " + entry.substr(0, entry.find('=')) + " ") == std::string::npos) {
        env.push_back(entry);
      }
    }
    env.insert(env.end(), {"XDG_RUNTIME_DIR=" + runtimeDir(), "HOME=" + root() + "/home",
                           "XDG_DATA_HOME=" + dataHome(), "XDG_CONFIG_HOME=" + root() + "/config",
                           "XDG_CACHE_HOME=" + root() + "/cache", "GIO_USE_VFS=local"});
    if (!busAddress_.empty()) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress_);
    return env;
  }

  // Installs the application's .desktop file, its Exec pointing at the built host, as the
  // default handler of "lumewell:" URLs.
  void installUrlHandler(const std::string& hostExecutable, const std::string& desktopFile) {
    std::string entry = readFile(desktopFile);
    const std::string exec = "Exec=lumewell-recorder";
    auto at = entry.find(exec);
    if (at == std::string::npos) throw std::runtime_error(desktopFile + " has no " + exec);
    entry.replace(at, exec.size(), "Exec=" + hostExecutable);
    writeFile(dataHome() + "/applications/app.lumewell.Recorder.desktop", entry);
    writeFile(root() + "/config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/lumewell=app.lumewell.Recorder.desktop\n");
  }

  // Starts a process in this session (extraEnv: NAME=value); stopped with the desktop.
  pid_t start(const std::vector<std::string>& argv, const std::string& logName,
              const std::vector<std::string>& extraEnv = {}) {
    auto env = environment();
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return tracked_.emplace_back(
        spawnProcess(argv, env, logPath(logName + ".out"), logPath(logName + ".err")));
  }
  // Its exit status; none when it did not end in time.
  std::optional<int> run(const std::vector<std::string>& argv, const std::string& logName,
                         const std::vector<std::string>& extraEnv = {}) {
    return waitForChild(start(argv, logName, extraEnv));
  }
  void track(pid_t pid) { tracked_.push_back(pid); }  // stopped with the desktop too
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
                                             std::chrono::milliseconds patience = kPatience) {
    std::unique_ptr<HostClient> client;
    auto connected = [&] {
      auto m = SocketClientMessenger::connect(socketPath);
      if (m) client = std::make_unique<HostClient>(std::move(m.value()));
      return client != nullptr;
    };
    spinUntil(g_main_context_default(), connected, patience);
    return client;
  }
  explicit HostClient(std::unique_ptr<SocketClientMessenger> messenger)
      : messenger_(std::move(messenger)) {}

  // None when the connection broke.
  std::optional<MethodEnvelope> call(const std::string& channel, const std::string& method,
                                     const Value& arguments = Value()) {
    std::optional<MethodEnvelope> answer;
    bool done = false;
    MethodChannel(*messenger_, channel)
        .invokeMethod(method, arguments, [&](Result<MethodEnvelope> reply) {
          done = true;
          if (reply) answer = std::move(reply.value());
        });
    spinUntil(g_main_context_default(), [&] { return done; });
    return answer;
  }
  bool listen(const std::string& channel) {
    messenger_->setMessageHandler(channel, [this, channel](ByteView message, BinaryReply reply) {
      auto decoded = StandardMethodCodec::decodeEnvelope(message);
      if (decoded && decoded->kind == MethodEnvelope::Kind::success) {
        events_[channel].push_back(decoded->result);
      }
      if (reply) reply(nullptr);
    });
    auto answer = call(channel, "listen");
    return answer && answer->kind == MethodEnvelope::Kind::success;
  }
  bool waitForEvents(const std::string& channel, size_t n,
                     std::chrono::milliseconds timeout = kPatience) {
    return spinUntil(
        g_main_context_default(), [&] { return events_[channel].size() >= n; }, timeout);
  }
  const std::vector<Value>& events(const std::string& channel) { return events_[channel]; }
  // The pid of the host process serving the connection (SO_PEERCRED).
  pid_t hostPid() const {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(messenger_->fd(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return -1;
    return cred.pid;
  }

 private:
  std::unique_ptr<SocketClientMessenger> messenger_;
  std::map<std::string, std::vector<Value>> events_;
};

// xdg-open hands a URL to its scheme's handler only in a graphical session; this names a
// (never contacted) display so that it does, as it would on a desktop.
inline const std::vector<std::string> kGraphicalSession = {"WAYLAND_DISPLAY=wayland-lumewell-test"};

}  // namespace lumewell::testing
