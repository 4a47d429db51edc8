// What hostile or crowding clients cost the host's socket: the peak memory of a host sent a
// 16 MiB frame of nested lists, and the time a new client waits for an answer while 100 idle
// connections are held. The host runs in a child process, so its memory is its own.
//
//   build/bin/socket_load_tool
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "channels/method_channel.h"
#include "channels/socket_client_messenger.h"
#include "channels/socket_host_messenger.h"

using namespace lumewell;

namespace {

long statusKiB(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

[[noreturn]] void serve(const std::string& path, int readyFd) {
  auto host = SocketHostMessenger::listen(path);
  if (!host) _exit(3);
  MethodChannel(**host, "bench/echo")
      .setMethodCallHandler(
          [](const MethodCall& call, MethodResultPtr result) { result->success(call.arguments); });
  char ok = 1;
  if (write(readyFd, &ok, 1) != 1) _exit(4);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  _exit(0);
}

// Waits for the answer of one call (or the connection's end) on the default context.
bool callEcho(SocketClientMessenger& client, const Value& args) {
  bool done = false, ok = false;
  MethodChannel(client, "bench/echo").invokeMethod("echo", args, [&](auto env) {
    done = true;
    ok = env.ok();
  });
  while (!done && client.isConnected()) g_main_context_iteration(nullptr, TRUE);
  return ok;
}

}  // namespace

int main() {
  char dir[] = "/tmp/lumewell-socket-load-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string path = std::string(dir) + "/host.sock";
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return 1;
  pid_t host = fork();
  if (host == 0) serve(path, pipeFds[1]);
  char ready = 0;
  if (read(pipeFds[0], &ready, 1) != 1) return 1;

  // 1. A 16 MiB frame whose payload is one list of ~8 million empty lists.
  const long before = statusKiB(host, "VmHWM");
  {
    auto client = SocketClientMessenger::connect(path);
    if (!client) return 1;
    Bytes call = StandardMethodCodec::encodeMethodCall({"echo", Value()});
    call.pop_back();  // the null arguments, replaced by the list
    const uint32_t items = (16u * 1024 * 1024 - 64 - call.size()) / 2;
    call.push_back(0x0c);
    call.push_back(0xff);
    for (int i = 0; i < 4; ++i) call.push_back(static_cast<uint8_t>(items >> (8 * i)));
    call.resize(call.size() + 2 * size_t{items});
    for (size_t i = call.size() - 2 * size_t{items}; i < call.size(); i += 2) call[i] = 0x0c;
    Bytes frame = encodeFrame(Frame{Frame::kMessage, 1, "bench/echo", call});
    // Written straight to the socket, waiting whenever the host has not read yet.
    for (size_t sent = 0; sent < frame.size();) {
      ssize_t n = ::send((*client)->fd(), frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{(*client)->fd(), POLLOUT, 0};
        ::poll(&p, 1, 1000);
      } else {
        break;  // the host closed the connection
      }
    }
    while ((*client)->isConnected()) g_main_context_iteration(nullptr, TRUE);
  }
  const long after = statusKiB(host, "VmHWM");
  std::printf("16 MiB frame of nested lists: host peak RSS %.1f MiB -> %.1f MiB (+%.1f MiB)\n",
              before / 1024.0, after / 1024.0, (after - before) / 1024.0);

  // 2. 100 idle connections held; a new client's connect + first answer, 20 times.
  std::vector<std::unique_ptr<SocketClientMessenger>> idle;
  for (int i = 0; i < 100; ++i) {
    auto c = SocketClientMessenger::connect(path);
    if (c) idle.push_back(std::move(*c));
  }
  std::vector<double> ms;
  for (int i = 0; i < 20; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    auto c = SocketClientMessenger::connect(path);
    if (!c || !callEcho(**c, Value(int32_t{i}))) {
      std::printf("a new client was not answered\n");
      break;
    }
    ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    std::printf("new client beside 100 idle ones: connect + answer median %.2f ms, max %.2f ms\n",
                ms[ms.size() / 2], ms.back());
  }
  std::printf("host threads: %ld, host RSS now %.1f MiB\n", statusKiB(host, "Threads"),
              statusKiB(host, "VmRSS") / 1024.0);
  kill(host, SIGTERM);
  waitpid(host, nullptr, 0);
  unlink(path.c_str());
  rmdir(dir);
  return 0;
}
