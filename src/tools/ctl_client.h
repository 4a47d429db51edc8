#pragma once

#include <glib.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "channels/socket_client_messenger.h"
#include "channels/standard_codec.h"

namespace lumewell::tools {

// Exit statuses of lumewellctl.
inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUnreachable = 2;

// "recorder" -> "lumewell/native_recorder" and so on; full names pass through.
std::string channelName(const std::string& nameOrShort);

// A client connection with a private main loop, for the command line.
class CtlClient {
 public:
  static std::unique_ptr<CtlClient> connect(const std::string& socketPath, std::string* error);
  ~CtlClient();

  // Calls and waits for the answer (or the connection's end).
  Result<MethodEnvelope> call(const std::string& channel, const std::string& method,
                              const Value& arguments);
  // Opens an event stream; events go to onEvent until the stream or the connection ends.
  Result<MethodEnvelope> listen(const std::string& channel,
                                std::function<void(const Value&)> onEvent);
  // Runs the loop until stop() (or the connection closes).
  void run();
  void stop();
  bool connected() const { return messenger_ && messenger_->isConnected(); }
  GMainContext* context() const { return context_; }
  SocketClientMessenger* messenger() const { return messenger_.get(); }

 private:
  CtlClient() = default;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  std::unique_ptr<SocketClientMessenger> messenger_;
};

// One JSON object per line for an answer: {"result": ...}, {"error": {...}} or
// {"notImplemented": true}. Returns the exit status it stands for.
int printEnvelope(const MethodEnvelope& envelope);
std::string unreachableMessage(const std::string& socketPath, const std::string& error);

}  // namespace lumewell::tools
