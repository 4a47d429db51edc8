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

// How long lumewellctl waits for the host, unless --timeout says otherwise.
inline constexpr double kDefaultTimeoutSeconds = 10;
// How long a call may wait: --timeout when given, else the default, except for the calls
// that run for as long as their work takes (none: no limit).
std::optional<double> callTimeout(const std::string& method, std::optional<double> requested);
// The code of a call's Error when the host did not answer in time.
inline constexpr int kTimedOut = 110;  // ETIMEDOUT

// "recorder" -> "lumewell/native_recorder" and so on; full names pass through.
std::string channelName(const std::string& nameOrShort);

// A client connection with a private main loop, for the command line.
class CtlClient {
 public:
  // timeout: for connecting and for each call; none waits as long as it takes (calls to the
  // long-running methods wait that way unless a timeout was asked for). Null when no host
  // answers, after saying so on stderr (unreachableMessage).
  static std::unique_ptr<CtlClient> connect(const std::string& socketPath,
                                            std::optional<double> timeoutSeconds = {});
  ~CtlClient();

  // Calls and waits for the answer, the connection's end, or the call's timeout (an Error
  // with code kTimedOut).
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
  std::optional<double> timeout_;  // as asked with --timeout
  std::unique_ptr<SocketClientMessenger> messenger_;
};

// One JSON object per line for an answer: {"result": ...}, {"error": {...}} or
// {"notImplemented": true}. Returns the exit status it stands for.
[[nodiscard]] int printEnvelope(const MethodEnvelope& envelope);
std::string unreachableMessage(const std::string& socketPath, const std::string& error);
// The message for a call that failed (timeout or lost host); the exit status is 2.
[[nodiscard]] int reportCallFailure(const std::string& socketPath, const Error& error);

}  // namespace lumewell::tools
