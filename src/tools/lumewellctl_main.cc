// lumewellctl: the Dart side's stand-in at a terminal. Calls methods, listens to events and
// runs whole recordings through the host's socket.
#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>

#include "channels/socket_paths.h"
#include "tools/ctl_client.h"
#include "tools/json_mapping.h"
#include "tools/printable.h"
#include "tools/record_command.h"

using namespace lumewell;
using namespace lumewell::tools;

namespace {

int runCall(const std::string& socket, std::optional<double> timeout, const std::string& channel,
            const std::string& method, const std::string& jsonArgs) {
  Value args;
  if (!jsonArgs.empty()) {
    auto parsed = nlohmann::json::parse(jsonArgs, nullptr, false);
    if (parsed.is_discarded()) {
      std::cerr << "lumewellctl: the arguments are not valid JSON: " << jsonArgs << std::endl;
      return kExitError;
    }
    args = jsonToValue(parsed);
  }
  auto client = CtlClient::connect(socket, timeout);
  if (!client) return kExitUnreachable;
  auto answer = client->call(channelName(channel), method, args);
  if (!answer.ok()) return reportCallFailure(socket, answer.error());
  return printEnvelope(*answer);
}

int runListen(const std::string& socket, std::optional<double> timeout,
              const std::string& channel) {
  auto client = CtlClient::connect(socket, timeout);
  if (!client) return kExitUnreachable;
  std::string name = channelName(channel);
  // Short names mean the plug-in's event channel.
  if (name != channel) name += "/events";
  auto answer = client->listen(name, [&name](const Value& event) {
    nlohmann::json line = {{"channel", name}, {"event", valueToJson(event)}};
    std::cout << printableJson(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
              << std::endl;
  });
  if (!answer.ok()) return reportCallFailure(socket, answer.error());
  if (answer->kind != MethodEnvelope::Kind::success) return printEnvelope(*answer);
  client->run();  // until the host goes away or we are interrupted
  std::cerr << "lumewellctl: the host closed the connection." << std::endl;
  return kExitUnreachable;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Talks to a running Lumewell Recorder host."};
  app.require_subcommand(1);
  std::string socket = defaultSocketPath();
  app.add_option("--socket", socket, "Socket of the host")->capture_default_str();
  std::optional<double> timeout;
  app.add_option("--timeout", timeout,
                 "Seconds to wait for the host when connecting and for each answer (default 10; "
                 "assembleRecording and runPreflight wait as long as they run)")
      ->check(CLI::PositiveNumber);

  std::string channel, method, jsonArgs;
  auto* call = app.add_subcommand("call", "Call a method and print its answer as JSON");
  call->add_option("CHANNEL", channel, "recorder, updater, app, or a full channel name")
      ->required();
  call->add_option("METHOD", method, "Method name")->required();
  call->add_option("JSON-ARGS", jsonArgs, "Arguments as JSON");

  auto* listen = app.add_subcommand("listen", "Print a channel's events, one JSON line each");
  listen->add_option("CHANNEL", channel, "recorder, updater, app, or a full channel name")
      ->required();

  RecordOptions record;
  auto* rec = app.add_subcommand("record", "Record until the time is up or Ctrl-C");
  rec->add_option("--seconds", record.seconds, "How long to record")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  rec->add_option("--id", record.recordingId, "Recording id (default: from the time)");
  rec->add_option("--app", record.app, "Also record this application (id or name)");

  auto* sources =
      app.add_subcommand("sources", "List the applications whose audio can be recorded");

  CLI11_PARSE(app, argc, argv);
  if (*call) return runCall(socket, timeout, channel, method, jsonArgs);
  if (*listen) return runListen(socket, timeout, channel);
  if (*rec) {
    record.socketPath = socket;
    record.timeoutSeconds = timeout;
    return runRecord(record);
  }
  if (*sources) return runSources(socket, timeout);
  return kExitError;
}
