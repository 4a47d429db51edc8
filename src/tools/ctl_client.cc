#include "tools/ctl_client.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>

#include "channels/method_channel.h"
#include "runtime/glib_scheduler.h"
#include "tools/json_mapping.h"
#include "tools/printable.h"

namespace lumewell::tools {
namespace {

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

std::chrono::milliseconds millis(double seconds) {
  return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

}  // namespace

std::string channelName(const std::string& nameOrShort) {
  if (nameOrShort == "recorder") return "lumewell/native_recorder";
  if (nameOrShort == "updater") return "lumewell/updater";
  if (nameOrShort == "app") return "lumewell/app";
  return nameOrShort;
}

std::optional<double> callTimeout(const std::string& method, std::optional<double> requested) {
  if (requested) return requested;
  if (method == "assembleRecording" || method == "runPreflight") return std::nullopt;
  return kDefaultTimeoutSeconds;
}

std::unique_ptr<CtlClient> CtlClient::connect(const std::string& socketPath,
                                              std::optional<double> timeoutSeconds) {
  std::unique_ptr<CtlClient> client(new CtlClient());
  client->context_ = g_main_context_new();
  client->loop_ = g_main_loop_new(client->context_, FALSE);
  client->timeout_ = timeoutSeconds;
  auto messenger = SocketClientMessenger::connect(
      socketPath, client->context_, millis(timeoutSeconds.value_or(kDefaultTimeoutSeconds)));
  if (!messenger) {
    const std::string error =
        messenger.error().code == ETIMEDOUT
            ? "the host took no new connection within " +
                  secondsText(timeoutSeconds.value_or(kDefaultTimeoutSeconds)) + " s"
            : messenger.error().localizedDescription;
    std::cerr << unreachableMessage(socketPath, error) << std::endl;
    return nullptr;
  }
  client->messenger_ = std::move(*messenger);
  GMainLoop* loop = client->loop_;
  client->messenger_->setClosedHandler([loop](const std::string&) { g_main_loop_quit(loop); });
  return client;
}

CtlClient::~CtlClient() {
  messenger_.reset();
  if (loop_ != nullptr) g_main_loop_unref(loop_);
  if (context_ != nullptr) g_main_context_unref(context_);
}

Result<MethodEnvelope> CtlClient::call(const std::string& channel, const std::string& method,
                                       const Value& arguments) {
  auto answer = std::make_shared<std::optional<Result<MethodEnvelope>>>();
  MethodChannel(*messenger_, channel).invokeMethod(method, arguments, [answer](auto env) {
    if (!answer->has_value()) *answer = std::move(env);
  });
  const auto limit = callTimeout(method, timeout_);
  const auto answered = [&] { return answer->has_value(); };
  if (limit && !iterateUntil(context_, answered, millis(*limit))) {
    const std::string text = "the host did not answer \"" + method + "\" within ";
    *answer = Error{"lumewellctl", kTimedOut, text + secondsText(*limit) + " s"};
  }
  while (!answer->has_value()) g_main_context_iteration(context_, TRUE);
  return std::move(**answer);
}

Result<MethodEnvelope> CtlClient::listen(const std::string& channel,
                                         std::function<void(const Value&)> onEvent) {
  messenger_->setMessageHandler(channel,
                                [onEvent = std::move(onEvent)](ByteView bytes, BinaryReply reply) {
                                  auto env = StandardMethodCodec::decodeEnvelope(bytes);
                                  if (env.ok() && env->kind == MethodEnvelope::Kind::success)
                                    onEvent(env->result);
                                  if (reply) reply(nullptr);
                                });
  return call(channel, "listen", Value());
}

void CtlClient::run() {
  if (connected()) g_main_loop_run(loop_);
}

void CtlClient::stop() { g_main_loop_quit(loop_); }

int printEnvelope(const MethodEnvelope& envelope) {
  nlohmann::json out;
  int status = kExitOk;
  switch (envelope.kind) {
    case MethodEnvelope::Kind::success:
      out["result"] = valueToJson(envelope.result);
      break;
    case MethodEnvelope::Kind::error:
      out["error"] = {{"code", envelope.error.code},
                      {"message", envelope.error.message ? nlohmann::json(*envelope.error.message)
                                                         : nlohmann::json(nullptr)},
                      {"details", valueToJson(envelope.error.details)}};
      status = kExitError;
      break;
    case MethodEnvelope::Kind::notImplemented:
      out["notImplemented"] = true;
      status = kExitError;
      break;
  }
  std::cout << printableJson(out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
            << std::endl;
  return status;
}

int reportCallFailure(const std::string& socketPath, const Error& error) {
  if (error.code == kTimedOut && error.domain == "lumewellctl") {
    std::cerr << "lumewellctl: " << error.localizedDescription
              << " (--timeout SECONDS waits longer)." << std::endl;
  } else {
    std::cerr << unreachableMessage(socketPath, error.localizedDescription) << std::endl;
  }
  return kExitUnreachable;
}

std::string unreachableMessage(const std::string& socketPath, const std::string& error) {
  return "lumewellctl: cannot reach the Lumewell Recorder host at " + socketPath + " (" + error +
         "). Start it with `build/bin/lumewell-recorder` (or `lumewell-recorder` when installed) "
         "and try again.";
}

}  // namespace lumewell::tools
