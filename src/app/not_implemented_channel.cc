#include "app/not_implemented_channel.h"

#include "channels/method_channel.h"

namespace lumewell::app {

void registerNotImplementedChannel(BinaryMessenger& messenger, const std::string& name) {
  MethodChannel(messenger, name)
      .setMethodCallHandler(
          [](const MethodCall&, MethodResultPtr result) { result->notImplemented(); });
}

}  // namespace lumewell::app
