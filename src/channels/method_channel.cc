#include "channels/method_channel.h"

#include <cstdio>

namespace lumewell {
namespace {

void reportToStderr(const std::string& what) {
  std::fprintf(stderr, "lumewell: internal error: %s\n", what.c_str());
}

std::function<void(const std::string&)>& doubleAnswerHook() {
  static std::function<void(const std::string&)> hook = reportToStderr;
  return hook;
}

}  // namespace

MethodResult::MethodResult(std::function<void(Bytes)> sendReply)
    : sendReply_(std::move(sendReply)) {}

MethodResult::~MethodResult() {
  if (!answered_) {
    answered_ = true;
    sendReply_(StandardMethodCodec::encodeErrorEnvelope(
        "internal_error", "The host dropped this call without answering it.", Value()));
  }
}

void MethodResult::setDoubleAnswerHook(std::function<void(const std::string&)> hook) {
  doubleAnswerHook() = hook ? std::move(hook) : reportToStderr;
}

bool MethodResult::claim(const char* what) {
  if (answered_) {
    doubleAnswerHook()(std::string("method call answered twice (second answer: ") + what + ")");
    return false;
  }
  answered_ = true;
  return true;
}

void MethodResult::success(const Value& value) {
  if (claim("success")) sendReply_(StandardMethodCodec::encodeSuccessEnvelope(value));
}

void MethodResult::error(const std::string& code, const std::string& message,
                         const Value& details) {
  if (claim("error")) sendReply_(StandardMethodCodec::encodeErrorEnvelope(code, message, details));
}

void MethodResult::notImplemented() {
  if (claim("notImplemented")) sendReply_(Bytes());
}

MethodChannel::MethodChannel(BinaryMessenger& messenger, std::string name)
    : messenger_(messenger), name_(std::move(name)) {}

void MethodChannel::setMethodCallHandler(MethodCallHandler handler) {
  if (!handler) return messenger_.setMessageHandler(name_, nullptr);
  messenger_.setMessageHandler(
      name_, [handler = std::move(handler)](ByteView message, BinaryReply reply) {
        auto call = StandardMethodCodec::decodeMethodCall(message);
        if (!call) {
          // Not a method call: answer as Flutter does, with an empty (not implemented) reply.
          Bytes empty;
          reply(&empty);
          return;
        }
        auto result = std::make_shared<MethodResult>([reply](Bytes bytes) { reply(&bytes); });
        handler(*call, std::move(result));
      });
}

void MethodChannel::invokeMethod(const std::string& method, const Value& arguments,
                                 std::function<void(Result<MethodEnvelope>)> reply) {
  messenger_.send(name_, StandardMethodCodec::encodeMethodCall({method, arguments}),
                  [reply = std::move(reply)](const Bytes* bytes) {
                    if (!reply) return;
                    if (bytes == nullptr) {
                      reply(Error{"channel", 2, "The host closed the connection."});
                      return;
                    }
                    reply(StandardMethodCodec::decodeEnvelope(*bytes));
                  });
}

}  // namespace lumewell
