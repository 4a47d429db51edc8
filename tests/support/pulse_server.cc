#include "support/pulse_server.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace lumewell::testing {

namespace {

// Waits up to timeoutMs for a child to end; its exit status, or -1 if it still runs.
int waitFor(pid_t pid, int timeoutMs) {
  return waitForChild(pid, std::chrono::milliseconds(timeoutMs)).value_or(-1);
}

}  // namespace

PulseServer::PulseServer() : PulseServer(Options{}) {}

PulseServer::PulseServer(Options options) : options_(options) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "lumewell-pulse-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  folder_ = tmpl;
  ::chmod(folder_.c_str(), 0700);
  std::filesystem::create_directories(folder_ + "/run");
  ::chmod((folder_ + "/run").c_str(), 0700);
  if (!options_.anonymous && ::getuid() == 0) {
    if (const passwd* nobody = ::getpwnam("nobody")) {
      dropPrivileges_ = true;
      serverUid_ = nobody->pw_uid;
      serverGid_ = nobody->pw_gid;
    }
  }
  std::ofstream config(folder_ + "/ci.pa");
  config << "load-module module-native-protocol-unix auth-anonymous="
         << (options_.anonymous ? 1 : 0) << "\n"
         << "load-module module-null-sink sink_name=vsink rate=48000 channels=2\n"
         << "load-module module-null-sink sink_name=micfeed rate=48000 channels=1\n"
         << "set-default-sink vsink\n"
         << "set-default-source micfeed.monitor\n";
  config.close();
  if (dropPrivileges_) {
    for (const std::string& path : {folder_, folder_ + "/run", folder_ + "/ci.pa"}) {
      if (::chown(path.c_str(), serverUid_, serverGid_) != 0) dropPrivileges_ = false;
    }
  }
}

bool PulseServer::pipewire() {
  const char* which = std::getenv("LUMEWELL_TEST_SOUND_SERVER");
  return which != nullptr && std::string(which) == "pipewire";
}

PulseServer::~PulseServer() {
  thaw();
  stopPlaying();
  for (pid_t& pid : keepAlive_) stopPid(pid);
  stopPid(serverPid_);
  stopPid(wireplumberPid_);
  stopPid(pipewirePid_);
  stopPid(busPid_);
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

std::string PulseServer::address() const { return "unix:" + folder_ + "/run/pulse/native"; }

std::vector<std::string> PulseServer::environment(bool client) const {
  std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + folder_ + "/run", "HOME=" + folder_,
                                  "PATH=/usr/local/bin:/usr/bin:/bin", "LC_ALL=C",
                                  "DBUS_SESSION_BUS_ADDRESS=unix:path=" + folder_ + "/bus"};
  if (client) {
    env.push_back("PULSE_SERVER=" + address());
    env.push_back("PULSE_COOKIE=" + folder_ + "/.config/pulse/cookie");
  }
  return env;
}

pid_t PulseServer::spawn(const std::vector<std::string>& argv, bool client,
                         const std::string& output, bool asServerUser) const {
  std::vector<std::string> env = environment(client);
  if (asServerUser && dropPrivileges_) {
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    // fork + exec: posix_spawn cannot change the uid. Only async-signal-safe calls below.
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(out, 2);
      if (::setgroups(0, nullptr) != 0 || ::setgid(serverGid_) != 0 || ::setuid(serverUid_) != 0) {
        ::_exit(126);
      }
      ::execvpe(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    if (out >= 0) ::close(out);
    return pid;
  }
  try {
    return spawnProcess(argv, env, output, output);
  } catch (const std::exception&) {
    return -1;
  }
}

int PulseServer::runClient(const std::vector<std::string>& argv, int timeoutMs) const {
  pid_t pid = spawn(argv, true, folder_ + "/clients.log");
  if (pid < 0) return -1;
  int status = waitFor(pid, timeoutMs);
  if (status == -1) stopProcess(pid);
  return status;
}

bool PulseServer::start(std::string* error) {
  if (serverPid_ > 0) return true;
  if (pipewire()) return startPipewire(error);
  serverPid_ = spawn({"pulseaudio", "-n", "-F", folder_ + "/ci.pa", "--daemonize=no",
                      "--exit-idle-time=-1", "--log-target=file:" + folder_ + "/pulse.log"},
                     false, folder_ + "/pulse.out", /*asServerUser=*/true);
  const auto spawnedAt = std::chrono::steady_clock::now();
  if (serverPid_ < 0) {
    if (error) *error = "cannot start pulseaudio";
    return false;
  }
  // Bounded: 100 tries of `pactl info`, each itself bounded.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (waitFor(serverPid_, 0) != -1) {
      serverPid_ = -1;
      if (error) *error = "pulseaudio exited; see " + folder_ + "/pulse.log";
      return false;
    }
    if (runClient({"pactl", "info"}, 2000) == 0) {
      // An idle null sink sleeps through its first block of about 2 s and only then honours
      // low-latency clients; wait out that first block once.
      startKeepAlive();
      std::this_thread::sleep_until(spawnedAt + std::chrono::milliseconds(2300));
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stopPid(serverPid_);
  if (error) *error = "pulseaudio did not answer in time";
  return false;
}

// PipeWire, its session manager (which links streams to devices; it needs a session bus) and
// the pulse server. Only the pulse server goes down in kill9(); a restart brings it and its
// sinks back on the same PipeWire.
bool PulseServer::startPipewire(std::string* error) {
  const std::string log = folder_ + "/pipewire.log";
  const std::string bus = folder_ + "/bus";
  if (busPid_ < 0) {
    busPid_ =
        spawn({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus}, false, log);
    for (int i = 0; i < 100 && !std::filesystem::exists(bus); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // The graph's processes keep their pages in memory: a reclaimed code page costs a page fault
  // on the data thread, which misses its cycle and drops a quantum of the virtual microphone
  // (machines that page out cold memory, as DAMON does, lost 256-1024 samples that way).
  for (const char* program : {"pipewire", "pipewire-pulse"}) {
    const std::string dropIns = folder_ + "/.config/pipewire/" + program + ".conf.d";
    std::filesystem::create_directories(dropIns);
    std::ofstream(dropIns + "/90-locked.conf") << "context.properties = { mem.mlock-all = true }\n";
  }
  if (pipewirePid_ < 0) {
    pipewirePid_ = spawn({"pipewire"}, false, log);
    // The session manager gives up at once when PipeWire is not yet listening.
    const std::string socket = folder_ + "/run/pipewire-0";
    for (int i = 0; i < 250 && !std::filesystem::exists(socket); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (wireplumberPid_ > 0 && waitFor(wireplumberPid_, 0) != -1) wireplumberPid_ = -1;
  if (wireplumberPid_ < 0) wireplumberPid_ = spawn({"wireplumber"}, false, log);
  serverPid_ = spawn({"pipewire-pulse"}, false, log);
  if (busPid_ < 0 || pipewirePid_ < 0 || wireplumberPid_ < 0 || serverPid_ < 0) {
    if (error) *error = "cannot start pipewire (is pipewire-pulse installed?)";
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (waitFor(serverPid_, 0) != -1) {
      serverPid_ = -1;
      if (error) *error = "pipewire-pulse exited; see " + log;
      return false;
    }
    if (runClient({"pactl", "info"}, 2000) == 0) {
      if (!setUpSinks()) {
        if (error) *error = "pipewire-pulse did not take the null sinks; see " + log;
        return false;
      }
      startKeepAlive();
      // The session manager links new streams a moment after they appear.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stopPid(serverPid_);
  if (error) *error = "pipewire-pulse did not answer in time";
  return false;
}

bool PulseServer::setUpSinks() {
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"pactl", "load-module", "module-null-sink", "sink_name=vsink",
                                 "rate=48000", "channels=2"},
        std::vector<std::string>{"pactl", "load-module", "module-null-sink", "sink_name=micfeed",
                                 "rate=48000", "channels=1"},
        std::vector<std::string>{"pactl", "set-default-sink", "vsink"},
        std::vector<std::string>{"pactl", "set-default-source", "micfeed.monitor"}}) {
    // pipewire-pulse answers before PipeWire and its session manager are ready for modules:
    // each step is tried again for a bounded while.
    bool done = false;
    for (int attempt = 0; attempt < 50 && !done; ++attempt) {
      done = runClient(command) == 0;
      if (done) break;
      // Defaults live in the session manager's metadata: one that lost its race with
      // PipeWire is started again.
      if (wireplumberPid_ > 0 && waitFor(wireplumberPid_, 0) != -1) {
        wireplumberPid_ = spawn({"wireplumber"}, false, folder_ + "/pipewire.log");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!done) return false;
  }
  return true;
}

// A silent low-latency player on each sink keeps it rendering in 20 ms steps for the
// server's whole life, so that monitors deliver promptly whatever the test's players ask.
void PulseServer::startKeepAlive() {
  for (pid_t& pid : keepAlive_) stopPid(pid);
  keepAlive_.clear();
  for (const char* sink : {"micfeed", "vsink"}) {
    keepAlive_.push_back(
        spawn({"paplay", "--latency-msec=20", "-d", sink, "--raw", "--client-name=Keep awake",
               "--rate=48000", "--channels=1", "--format=s16le", "/dev/zero"},
              true, folder_ + "/clients.log"));
  }
}

void PulseServer::kill9() {
  if (serverPid_ <= 0) return;
  frozen_ = false;
  ::kill(serverPid_, SIGKILL);
  waitFor(serverPid_, 5000);
  serverPid_ = -1;
  for (pid_t& pid : keepAlive_) stopPid(pid);
  keepAlive_.clear();
}

void PulseServer::freeze() {
  if (serverPid_ > 0 && ::kill(serverPid_, SIGSTOP) == 0) frozen_ = true;
}

void PulseServer::thaw() {
  if (frozen_ && serverPid_ > 0) ::kill(serverPid_, SIGCONT);
  frozen_ = false;
}

void PulseServer::exportEnvironment() const {
  ::setenv("PULSE_SERVER", address().c_str(), 1);
  ::unsetenv("PULSE_COOKIE");
}

pid_t PulseServer::play(const std::string& soundFile) {
  pid_t pid = spawn({"paplay", "--latency-msec=1000", "-d", "micfeed", soundFile}, true,
                    folder_ + "/clients.log");
  if (pid > 0) players_.push_back(pid);
  return pid;
}

void PulseServer::stopPlaying() {
  for (pid_t& pid : players_) stopPid(pid);
  players_.clear();
}

void PulseServer::stopPid(pid_t& pid) {
  if (pid <= 0) return;
  stopProcess(pid);
  pid = -1;
}

bool PulseServer::makeToneWav(const std::string& path, double seconds, double dbfs, double hz) {
  char command[1024];
  std::snprintf(command, sizeof command,
                "sox -q -n -r 48000 -c 1 -b 16 '%s' synth %.3f sine %.1f gain %.2f 2>/dev/null",
                path.c_str(), seconds, hz, dbfs);
  return std::system(command) == 0;
}

}  // namespace lumewell::testing
