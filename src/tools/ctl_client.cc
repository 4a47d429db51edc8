#include "tools/ctl_client.h"

#include <cstdio>
#include <iostream>

#include "channels/method_channel.h"
#include "tools/json_mapping.h"

namespace lumewell::tools {

std::string channelName(const std::string& nameOrShort) {
  if (nameOrShort == "recorder") return "lumewell/native_recorder";
  if (nameOrShort == "updater") return "lumewell/updater";
  if (nameOrShort == "app") return "lumewell/app";
  return nameOrShort;
}

std::unique_ptr<CtlClient> CtlClient::connect(const std::string& socketPath, std::string* error) {
  std::unique_ptr<CtlClient> client(new CtlClient());
  client->context_ = g_main_context_new();
  client->loop_ = g_main_loop_new(client->context_, FALSE);
  auto messenger = SocketClientMessenger::connect(socketPath, client->context_);
  if (!messenger) {
    *error = messenger.error().localizedDescription;
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
  std::optional<Result<MethodEnvelope>> answer;
  MethodChannel(*messenger_, channel).invokeMethod(method, arguments, [&](auto env) {
    answer = std::move(env);
  });
  while (!answer.has_value()) g_main_context_iteration(context_, TRUE);
  return std::move(*answer);
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
  std::cout << out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
  return status;
}

std::string unreachableMessage(const std::string& socketPath, const std::string& error) {
  return "lumewellctl: cannot reach the Lumewell Recorder host at " + socketPath + " (" + error +
         "). Start it with `build/bin/lumewell-recorder` (or `lumewell-recorder` when installed) "
         "and try again.";
}

}  // namespace lumewell::tools
