#include "host_harness.h"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "channels/method_channel.h"

extern char** environ;

namespace lumewell::testing {

PrivateDesktop::PrivateDesktop(bool withSessionBus) {
  // Orphaned descendants are re-parented to this process, so none outlives the test.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  for (const auto& dir : {runtimeDir(), dataHome() + "/applications", configHome(),
                          root() + "/home", root() + "/cache"}) {
    g_mkdir_with_parents(dir.c_str(), 0700);
  }
  ::chmod(runtimeDir().c_str(), 0700);
  if (!withSessionBus) return;

  // The daemon prints its address once it listens.
  const std::string addressFile = logPath("dbus.address");
  busPid_ = spawnProcess({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                          "--address=unix:path=" + runtimeDir() + "/bus", "--print-address"},
                         environment(), addressFile, logPath("dbus.log"));
  if (!waitForText(addressFile, "\n")) throw std::runtime_error("dbus-daemon printed no address");
  const std::string address = readFile(addressFile);
  busAddress_ = address.substr(0, address.find('\n'));
}

PrivateDesktop::~PrivateDesktop() {
  for (auto it = tracked_.rbegin(); it != tracked_.rend(); ++it) stopProcess(*it);
  if (busPid_ > 0) stopProcess(busPid_);
  // Whatever else ended up as our child (instances started by gio) has ended by now or
  // ends with the bus; collect them.
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

std::vector<std::string> PrivateDesktop::environment() const {
  const std::string replaced =
      " DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR HOME XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME"
      " DISPLAY WAYLAND_DISPLAY GIO_USE_VFS XDG_CURRENT_DESKTOP ";
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (replaced.find(" " + entry.substr(0, entry.find('=')) + " ") == std::string::npos) {
      env.push_back(entry);
    }
  }
  env.insert(env.end(), {"XDG_RUNTIME_DIR=" + runtimeDir(), "HOME=" + root() + "/home",
                         "XDG_DATA_HOME=" + dataHome(), "XDG_CONFIG_HOME=" + configHome(),
                         "XDG_CACHE_HOME=" + root() + "/cache", "GIO_USE_VFS=local"});
  if (!busAddress_.empty()) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress_);
  return env;
}

void PrivateDesktop::installUrlHandler(const std::string& hostExecutable,
                                       const std::string& desktopFile) {
  std::string entry = readFile(desktopFile);
  const std::string exec = "Exec=lumewell-recorder";
  auto at = entry.find(exec);
  if (at == std::string::npos) throw std::runtime_error(desktopFile + " has no " + exec);
  entry.replace(at, exec.size(), "Exec=" + hostExecutable);
  writeFile(dataHome() + "/applications/app.lumewell.Recorder.desktop", entry);
  writeFile(configHome() + "/mimeapps.list",
            "[Default Applications]\n"
            "x-scheme-handler/lumewell=app.lumewell.Recorder.desktop\n");
}

pid_t PrivateDesktop::start(const std::vector<std::string>& argv, const std::string& logName,
                            const std::vector<std::string>& extraEnv) {
  auto env = environment();
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  return tracked_.emplace_back(
      spawnProcess(argv, env, logPath(logName + ".out"), logPath(logName + ".err")));
}

std::unique_ptr<HostClient> HostClient::connect(const std::string& socketPath,
                                                std::chrono::milliseconds patience) {
  std::unique_ptr<SocketClientMessenger> messenger;
  spinUntil(
      g_main_context_default(),
      [&] {
        auto connected = SocketClientMessenger::connect(socketPath);
        if (connected) messenger = std::move(connected.value());
        return messenger != nullptr;
      },
      patience);
  return messenger ? std::make_unique<HostClient>(std::move(messenger)) : nullptr;
}

std::optional<MethodEnvelope> HostClient::call(const std::string& channel,
                                               const std::string& method, const Value& arguments) {
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

bool HostClient::listen(const std::string& channel) {
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

bool HostClient::waitForEvents(const std::string& channel, size_t n,
                               std::chrono::milliseconds timeout) {
  return spinUntil(
      g_main_context_default(), [&] { return events_[channel].size() >= n; }, timeout);
}

pid_t HostClient::hostPid() const {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(messenger_->fd(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return -1;
  return cred.pid;
}

bool waitForText(const std::string& path, const std::string& text,
                 std::chrono::milliseconds timeout) {
  return spinUntil(
      g_main_context_default(), [&] { return readFile(path).find(text) != std::string::npos; },
      timeout);
}

size_t countText(const std::string& path, const std::string& text) {
  const std::string content = readFile(path);
  size_t count = 0;
  for (size_t at = 0; (at = content.find(text, at)) != std::string::npos; at += text.size())
    ++count;
  return count;
}

}  // namespace lumewell::testing
