#include <signal.h>

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "app/host_application.h"
#include "app/host_options.h"

int main(int argc, char** argv) {
  // A client or a log reader that goes away must not end the host.
  ::signal(SIGPIPE, SIG_IGN);
  // The application catalogue sorts names in the user's locale.
  std::setlocale(LC_ALL, "");
  // The host's standard output carries only its own log lines; media errors reach the Dart
  // side as error values, not as FFmpeg's console messages.
  av_log_set_level(AV_LOG_QUIET);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto options = lumewell::app::parseHostOptions(std::move(args));
  if (!options.error.empty()) {
    std::fprintf(stderr, "lumewell-recorder: %s\n%s", options.error.c_str(),
                 lumewell::app::kHostUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(lumewell::app::kHostUsage, stdout);
    return 0;
  }
  lumewell::app::HostApplication host(std::move(options));
  return host.run(argc > 0 ? argv[0] : "lumewell-recorder");
}
