// The built lumewell-recorder, run in a private desktop session.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "host_harness.h"
#include "support/audio_test_helpers.h"
#include "support/pulse_server.h"

namespace lumewell::testing {
namespace {

using Kind = MethodEnvelope::Kind;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kHost = LUMEWELL_RECORDER_EXE;
constexpr const char* kApp = "lumewell/app";
constexpr const char* kEvents = "lumewell/app/events";
constexpr const char* kRecorder = "lumewell/native_recorder";
constexpr const char* kRecorderEvents = "lumewell/native_recorder/events";
constexpr const char* kInitialized = "Lumewell Recorder AppDelegate initialized\n";

Value callbackEvent(const std::string& url) {
  return Value(ValueMap{{"type", "auth_callback"}, {"url", url}});
}
bool succeeded(const std::optional<MethodEnvelope>& answer) {
  return answer && answer->kind == Kind::success;
}

// The host on a private socket in a private desktop, with or without a session bus.
class HostProcessTest : public ::testing::Test {
 protected:
  explicit HostProcessTest(bool withSessionBus = true) : desktop(withSessionBus) {}
  void startHost(const std::string& logName = "host", const std::vector<std::string>& env = {}) {
    pid = desktop.start({kHost, "--socket", socket}, logName, env);
    client = HostClient::connect(socket);
    ASSERT_TRUE(client) << readFile(desktop.logPath(logName + ".err"));
  }
  std::string hostLog() const { return desktop.logPath("host.out"); }
  std::optional<int> launch(std::vector<std::string> argv, const std::string& name) {
    argv.insert(argv.begin(), kHost);
    return desktop.run(argv, name);
  }

  PrivateDesktop desktop;
  std::string socket = desktop.runtimeDir() + "/test-host.sock";
  pid_t pid = -1;
  std::unique_ptr<HostClient> client;
};

// Every route a URL takes reaches the running instance, in order: a later launch of the host,
// openExternalUrl through the desktop's handler (the host itself; `gio open` takes the same
// GIO launch) and xdg-open, which reads the desktop file itself.
TEST_F(HostProcessTest, UrlsFromEveryRouteReachTheRunningInstanceInOrder) {
  desktop.installUrlHandler(kHost, LUMEWELL_DESKTOP_FILE);
  startHost();
  ASSERT_TRUE(client->listen(kEvents));
  EXPECT_EQ(launch({"lumewell://auth?code=1", "/tmp/not-a-url", "lumewell://auth?code=2"}, "l2"),
            0);
  // The second launch ran nothing of its own; one that carries no URL reaches nobody.
  EXPECT_EQ(launch({"just-a-word"}, "l3"), 0);
  EXPECT_EQ(countText(hostLog(), kInitialized), 1u);
  EXPECT_EQ(readFile(hostLog()).find("/tmp/not-a-url"), std::string::npos);

  // A scheme nothing handles is refused by the desktop's opener.
  auto refused =
      client->call(kApp, "openExternalUrl", Value(ValueMap{{"url", "lumewellnohandler://x?y=1"}}));
  EXPECT_EQ(refused.value_or(MethodEnvelope{}).error.code, "open_failed");
  EXPECT_TRUE(succeeded(client->call(kApp, "openExternalUrl",
                                     Value(ValueMap{{"url", "lumewell://external?round=trip"}}))));
  ASSERT_TRUE(client->waitForEvents(kEvents, 3));
  EXPECT_EQ(desktop.run({"xdg-open", "lumewell://auth?code=from-xdg-open"}, "xdg-open",
                        kGraphicalSession),
            0)
      << readFile(desktop.logPath("xdg-open.err"));
  ASSERT_TRUE(client->waitForEvents(kEvents, 4));
  EXPECT_EQ(client->events(kEvents),
            (std::vector<Value>{callbackEvent("lumewell://auth?code=1"),
                                callbackEvent("lumewell://auth?code=2"),
                                callbackEvent("lumewell://external?round=trip"),
                                callbackEvent("lumewell://auth?code=from-xdg-open")}));
  ::kill(pid, SIGINT);
  EXPECT_EQ(waitForChild(pid), 0);
  EXPECT_NE(::access(socket.c_str(), F_OK), 0);
}

TEST_F(HostProcessTest, RestartHandsOverToAFreshInstance) {
  startHost();
  EXPECT_TRUE(succeeded(client->call(kApp, "restartApp")));
  // A fresh instance serves the socket, and the old one is gone.
  std::unique_ptr<HostClient> fresh;
  ASSERT_TRUE(spinUntil(g_main_context_default(), [&] {
    fresh = HostClient::connect(socket, std::chrono::milliseconds(0));
    return fresh && fresh->hostPid() != pid;
  })) << readFile(desktop.logPath("host.err"));
  desktop.track(fresh->hostPid());
  EXPECT_EQ(waitForChild(pid), 0);
  // The old host stayed unreaped (a zombie) until now: the fresh one saw it gone all the same.
  EXPECT_THAT(readFile(desktop.logPath("host.err")), Not(HasSubstr("is still running")));

  // The fresh instance is the running one: a later launch reaches it.
  ASSERT_TRUE(fresh->listen(kEvents));
  EXPECT_EQ(launch({"lumewell://after-restart"}, "second"), 0);
  ASSERT_TRUE(fresh->waitForEvents(kEvents, 1));
  EXPECT_EQ(fresh->events(kEvents)[0], callbackEvent("lumewell://after-restart"));
  EXPECT_EQ(countText(hostLog(), kInitialized), 2u);
  EXPECT_TRUE(processAlive(fresh->hostPid()));
}

class LoneHost : public HostProcessTest {
 protected:
  LoneHost() : HostProcessTest(/*withSessionBus=*/false) {}
};

// Without --socket the host serves the default path in the private runtime folder.
TEST_F(LoneHost, RunsAloneSaysSoAndEndsCleanlyOnSigterm) {
  socket = desktop.defaultSocketPath();
  pid = desktop.start({kHost}, "host");
  client = HostClient::connect(socket);
  ASSERT_TRUE(client);
  EXPECT_EQ(fileMode(socket), 0600);
  EXPECT_TRUE(waitForText(desktop.logPath("host.err"), "no session bus"));

  // A second instance, on the same socket or on another one, finds the data folder taken:
  // it says why and fails, and the first goes on.
  for (const std::string& path : {socket, desktop.runtimeDir() + "/other.sock"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(launch({"--socket", path, "lumewell://lost"}, "second"), 1);
    EXPECT_THAT(readFile(desktop.logPath("second.err")),
                HasSubstr("already running for the data folder " + desktop.dataHome() +
                          "/app.lumewell.Recorder (pid " + std::to_string(pid) + ")"));
    EXPECT_TRUE(path == socket || ::access(path.c_str(), F_OK) != 0) << "the refused one served";
    EXPECT_TRUE(succeeded(client->call(kApp, "consumePendingAuthCallback")));
  }
  ::kill(pid, SIGTERM);
  EXPECT_EQ(waitForChild(pid), 0);
  EXPECT_NE(::access(socket.c_str(), F_OK), 0);
}

// A host recording the private sound server's microphone (a tone).
class HostWithRecording : public LoneHost {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    ASSERT_TRUE(PulseServer::makeToneWav(desktop.root() + "/tone.wav", 60, -6, 1000));
    ASSERT_GT(server.play(desktop.root() + "/tone.wav"), 0);
  }
  void launchRecorder(const std::string& logName) {
    startHost(logName, {"PULSE_SERVER=" + server.address()});
    ASSERT_TRUE(client->listen(kRecorderEvents));
  }
  void startRecording(const std::string& id) {
    ASSERT_TRUE(
        succeeded(client->call(kRecorder, "startRecording",
                               Value(ValueMap{{"recordingId", id}, {"captureMode", "MIC_ONLY"}}))))
        << readFile(desktop.logPath("host.err"));
  }
  std::vector<ValueMap> eventsOfType(const std::string& type) {
    std::vector<ValueMap> found;
    for (const auto& event : client->events(kRecorderEvents)) {
      if (*mapString(event.asMap(), "type") == type) found.push_back(*event.asMap());
    }
    return found;
  }
  bool waitForEvent(const std::string& type) {
    return spinUntil(g_main_context_default(), [&] { return !eventsOfType(type).empty(); });
  }
  std::string recordingFile(const std::string& id, const std::string& name) const {
    return desktop.dataHome() + "/app.lumewell.Recorder/recordings/" + id + "/" + name;
  }
  static int64_t number(const ValueMap& event, const std::string& key) {
    int64_t value = -1;
    if (const Value* found = event.find(key)) found->asInt64(&value);
    return value;
  }
  // What a sealed or recovered segment's event says of its file holds: size, hash, mode; with
  // decoded, that it plays at its reported length.
  static void expectFileAsReported(const ValueMap& event, bool decoded = false) {
    const std::string path = *mapString(&event, "path");
    ASSERT_EQ(fileMode(path), 0600) << path;
    EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(path)), number(event, "byteLength"));
    EXPECT_EQ(commandOutput("sha256sum '" + path + "'").substr(0, 64),
              *mapString(&event, "sha256"));
    if (decoded) {
      EXPECT_NEAR(static_cast<double>(decodeMono(path).size()), number(event, "durationMs") * 48.0,
                  48.0);
    }
  }

  PulseServer server;
};

// Killed 10 s into a segment, the host leaves its part, which plays but for the last second
// or so; the next launch seals it, tells the first listener, and records on beside it under
// the next index. SIGTERM seals the running recording before the host ends.
TEST_F(HostWithRecording, AKilledHostLosesAtMostTheLastSecondItsNextLaunchRecoversItSigtermSeals) {
  launchRecorder("host");
  startRecording("crash");
  // The sound-server thread has its own name; the process keeps its name for ps and pkill.
  EXPECT_EQ(readFile("/proc/" + std::to_string(pid) + "/comm"), "lumewell-record\n");
  ASSERT_TRUE(client->waitForEvents(kRecorderEvents, 40, std::chrono::seconds(20)));
  ::kill(pid, SIGKILL);
  ASSERT_TRUE(waitForChild(pid));
  const std::string part = recordingFile("crash", ".000000.m4a.part");
  ASSERT_EQ(::access(recordingFile("crash", "000000.m4a").c_str(), F_OK), -1);
  std::filesystem::copy_file(part, desktop.root() + "/part.m4a");
  EXPECT_GE(decodeMono(desktop.root() + "/part.m4a").size(), 9u * 48000);

  client.reset();
  launchRecorder("relaunched");
  ASSERT_TRUE(waitForEvent("segment_recovered")) << readFile(desktop.logPath("relaunched.out"));
  const ValueMap recovered = eventsOfType("segment_recovered")[0];
  EXPECT_EQ(*mapString(&recovered, "recordingId"), "crash");
  EXPECT_EQ(number(recovered, "index"), 0);
  EXPECT_EQ(*mapString(&recovered, "path"), recordingFile("crash", "000000.m4a"));
  EXPECT_GE(number(recovered, "durationMs"), 9000);
  expectFileAsReported(recovered, /*decoded=*/true);
  EXPECT_NE(::access(part.c_str(), F_OK), 0);
  EXPECT_GE(countText(desktop.logPath("relaunched.out"), "recovered the interrupted segment"), 1u);

  startRecording("crash");
  ASSERT_TRUE(client->waitForEvents(kRecorderEvents, client->events(kRecorderEvents).size() + 4));
  ::kill(pid, SIGTERM);
  ASSERT_TRUE(waitForEvent("stopped"));
  EXPECT_EQ(waitForChild(pid), 0);
  const auto sealed = eventsOfType("segment_sealed");
  ASSERT_EQ(sealed.size(), 1u) << readFile(desktop.logPath("relaunched.err"));
  EXPECT_EQ(*mapString(&sealed[0], "path"), recordingFile("crash", "000001.m4a"));
  expectFileAsReported(sealed[0]);
  expectFileAsReported(recovered);  // untouched by the recording beside it
}

// The disk filling under a recording: what was recorded is sealed and plays at its reported
// length, then one "error"; the host goes on answering.
TEST_F(HostWithRecording, AFullDiskEndsTheRecordingWithPlayableSegmentsAndOneError) {
  const std::string data = desktop.dataHome() + "/app.lumewell.Recorder";
  std::filesystem::create_directories(data);
  const std::string mount = "mount -t tmpfs -o size=40m,mode=0700 lumewell-test '" + data + "'";
  if (std::system((mount + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "mounting a small tmpfs needs root";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { std::system(("umount -l '" + path + "' 2>/dev/null").c_str()); }
  } unmount{data};
  launchRecorder("host");
  startRecording("full");
  ASSERT_TRUE(client->waitForEvents(kRecorderEvents, 8));  // two seconds of audio
  std::system(("dd if=/dev/zero of='" + data + "/filler' bs=1M 2>/dev/null").c_str());
  ASSERT_TRUE(waitForEvent("error")) << readFile(desktop.logPath("host.err"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // nothing else follows
  ASSERT_EQ(eventsOfType("error").size(), 1u);
  EXPECT_EQ(mapString(&eventsOfType("error")[0], "message")
                ->rfind("Failed to rotate recording segment: ", 0),
            0u);
  EXPECT_TRUE(eventsOfType("stopped").empty());
  const auto sealed = eventsOfType("segment_sealed");
  ASSERT_FALSE(sealed.empty());
  for (const ValueMap& event : sealed) {
    expectFileAsReported(event, /*decoded=*/true);
    EXPECT_GE(number(event, "durationMs"), 1000);
  }
  EXPECT_TRUE(succeeded(client->call(kRecorder, "getStorageStatus")));
  ::kill(pid, SIGTERM);
  EXPECT_EQ(waitForChild(pid), 0);
}

}  // namespace
}  // namespace lumewell::testing
