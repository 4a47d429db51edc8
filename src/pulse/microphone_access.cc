#include "pulse/microphone_access.h"

#include <algorithm>

#include "pulse/pulse_connection.h"
#include "recorder/audio_services.h"

namespace lumewell::pulse {

namespace {

inline constexpr int kUnknownStatus = -1;

}  // namespace

int microphoneAuthorizationStatus(std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  PulseConnection& connection = PulseConnection::shared();
  if (auto error = connection.connect(within)) {
    return error->code == PA_ERR_ACCESS ? recorder::kMicDenied : kUnknownStatus;
  }
  struct Query {
    bool done = false;
    int sources = 0;
  } query;
  PulseConnection::Lock lock(connection);
  pa_context* context = connection.readyContextLocked();
  if (context == nullptr) return kUnknownStatus;
  pa_operation* operation = pa_context_get_source_info_list(
      context,
      [](pa_context*, const pa_source_info* info, int eol, void* data) {
        auto* q = static_cast<Query*>(data);
        if (eol != 0) {
          q->done = true;
          PulseConnection::shared().signalLocked();
        } else if (info != nullptr) {
          ++q->sources;
        }
      },
      &query);
  if (operation == nullptr) return kUnknownStatus;
  // A lost server also ends the operation (as cancelled), so wait for that too.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  connection.waitLocked(
      [&] { return query.done || pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
      std::max(left, std::chrono::milliseconds(0)));
  // Cancelled under the lock: the callback cannot run after this, so `query` may go.
  if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return query.done && query.sources > 0 ? recorder::kMicAuthorized : kUnknownStatus;
}

}  // namespace lumewell::pulse
