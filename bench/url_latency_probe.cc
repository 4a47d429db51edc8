// Time from a desktop URL opener (`gio open`, `xdg-open`) to the "auth_callback" event at a
// listening client, and from "restartApp" to a fresh host serving the socket, in a private
// desktop session. Prints every run and the median per opener.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host_harness.h"

namespace {

using namespace lumewell;
using namespace lumewell::testing;
using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Runs the opener for `runs` URLs and returns the latencies in ms (empty on a failure).
std::vector<double> measureOpener(PrivateDesktop& desktop, HostClient& client,
                                  const std::string& opener, int runs) {
  // "direct" launches the host itself with the URL, as the desktop's opener ends up doing:
  // the part of the latency that is the host's own.
  std::vector<std::string> argv = opener == "gio" ? std::vector<std::string>{"gio", "open"}
                                  : opener == "direct"
                                      ? std::vector<std::string>{LUMEWELL_RECORDER_EXE}
                                      : std::vector<std::string>{"xdg-open"};
  std::vector<double> times;
  const char* events = "lumewell/app/events";
  for (int i = 0; i < runs; ++i) {
    size_t before = client.events(events).size();
    auto args = argv;
    args.push_back("lumewell://auth?code=" + opener + std::to_string(i));
    auto start = Clock::now();
    pid_t pid = desktop.start(args, opener,
                              opener == "gio" ? std::vector<std::string>{} : kGraphicalSession);
    if (!client.waitForEvents(events, before + 1)) {
      std::fprintf(stderr, "%s run %d: no event\n", opener.c_str(), i);
      return {};
    }
    times.push_back(ms(Clock::now() - start));
    waitForChild(pid);
  }
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  if (runs <= 0) runs = 20;
  PrivateDesktop desktop;
  desktop.installUrlHandler(LUMEWELL_RECORDER_EXE, LUMEWELL_DESKTOP_FILE);
  const std::string socket = desktop.defaultSocketPath();
  desktop.start({LUMEWELL_RECORDER_EXE}, "host");
  auto client = HostClient::connect(socket);
  if (!client || !client->listen("lumewell/app/events")) {
    std::fprintf(stderr, "host did not start: %s\n", readFile(desktop.logPath("host.err")).c_str());
    return 1;
  }
  int status = 0;
  for (const std::string opener : {"direct", "gio", "xdg-open"}) {
    auto times = measureOpener(desktop, *client, opener, runs);
    if (times.empty()) {
      status = 1;
      continue;
    }
    std::printf("%-9s", opener.c_str());
    for (double t : times) std::printf(" %.1f", t);
    std::printf("\n%-9s median %.1f ms, min %.1f ms, max %.1f ms over %zu runs\n", opener.c_str(),
                median(times), *std::min_element(times.begin(), times.end()),
                *std::max_element(times.begin(), times.end()), times.size());
  }

  // Restart: from the "restartApp" answer to a connection served by a new process (includes
  // the fixed 0.3 s delay before the relaunch).
  std::vector<double> restarts;
  for (int i = 0; i < 5; ++i) {
    pid_t old = client->hostPid();
    auto start = Clock::now();
    auto answer = client->call("lumewell/app", "restartApp");
    if (!answer) break;
    std::unique_ptr<HostClient> fresh;
    spinUntil(g_main_context_default(), [&] {
      fresh = HostClient::connect(socket, std::chrono::milliseconds(0));
      return fresh && fresh->hostPid() != old;
    });
    if (!fresh) break;
    restarts.push_back(ms(Clock::now() - start));
    desktop.track(fresh->hostPid());
    client = std::move(fresh);
  }
  if (!restarts.empty()) {
    std::printf("restart   median %.1f ms over %zu runs (includes the 300 ms delay)\n",
                median(restarts), restarts.size());
  }
  return status;
}
