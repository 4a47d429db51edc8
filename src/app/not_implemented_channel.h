#pragma once

#include <string>

#include "channels/binary_messenger.h"

namespace lumewell::app {

// A method channel that answers every call with not-implemented: the stand-in of a plug-in
// that is not part of this build.
void registerNotImplementedChannel(BinaryMessenger& messenger, const std::string& name);

}  // namespace lumewell::app
