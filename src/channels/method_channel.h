#pragma once

#include <functional>
#include <memory>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/standard_codec.h"

namespace lumewell {

// The result callback of one method call. It is answered exactly once: a second answer is a
// programming error (reported through the double-answer hook and otherwise ignored), and a
// result dropped without an answer answers "internal_error" so that no caller ever hangs.
class MethodResult {
 public:
  explicit MethodResult(std::function<void(Bytes)> sendReply);
  ~MethodResult();
  MethodResult(const MethodResult&) = delete;
  MethodResult& operator=(const MethodResult&) = delete;

  void success(const Value& value = Value());
  void error(const std::string& code, const std::string& message, const Value& details = Value());
  void notImplemented();
  bool answered() const { return answered_; }

  // Called with a description when a result is answered twice. Tests install one that fails
  // the test; the default writes to standard error.
  static void setDoubleAnswerHook(std::function<void(const std::string&)> hook);

 private:
  [[nodiscard]] bool claim(const char* what);
  std::function<void(Bytes)> sendReply_;
  bool answered_ = false;
};

using MethodResultPtr = std::shared_ptr<MethodResult>;
using MethodCallHandler = std::function<void(const MethodCall& call, MethodResultPtr result)>;

// A named method channel on a messenger. The channel object need not be kept: the handler
// installed on the messenger holds what it needs.
class MethodChannel {
 public:
  MethodChannel(BinaryMessenger& messenger, std::string name);

  void setMethodCallHandler(MethodCallHandler handler);
  // Calls a method on the peer; reply gets the decoded envelope, or an error when the bytes
  // were malformed or the peer went away.
  void invokeMethod(const std::string& method, const Value& arguments,
                    std::function<void(Result<MethodEnvelope>)> reply);

  const std::string& name() const { return name_; }

 private:
  BinaryMessenger& messenger_;
  std::string name_;
};

}  // namespace lumewell
