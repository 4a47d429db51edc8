#include "app_audio/server_state_reader.h"

namespace lumewell::app_audio {
namespace {

struct Reading {
  pulse::PulseConnection* connection;
  ServerState state;
  bool failed = false;  // a list ended with an error (eol < 0): the state is incomplete
};

// Whether a list callback brings an entry; at the list's end (eol > 0 when it is complete,
// < 0 when the server failed it) it wakes the reader instead.
bool isEntry(Reading* r, const void* info, int eol) {
  if (eol == 0) return info != nullptr;
  if (eol < 0) r->failed = true;
  r->connection->signalLocked();
  return false;
}

std::string stringProperty(const pa_proplist* props, const char* key) {
  if (props == nullptr) return {};
  const char* v = pa_proplist_gets(props, key);
  return v != nullptr ? std::string(v) : std::string();
}

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* r = static_cast<Reading*>(userdata);
  if (info != nullptr && info->default_sink_name != nullptr) {
    r->state.defaultSinkName = info->default_sink_name;
  }
  r->connection->signalLocked();
}

void onSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* r = static_cast<Reading*>(userdata);
  if (!isEntry(r, info, eol)) return;
  r->state.sinks.push_back(ServerSink{info->index, info->name ? info->name : "",
                                      info->description ? info->description : "",
                                      info->monitor_source_name ? info->monitor_source_name : ""});
}

void onClient(pa_context*, const pa_client_info* info, int eol, void* userdata) {
  auto* r = static_cast<Reading*>(userdata);
  if (!isEntry(r, info, eol)) return;
  r->state.clients.push_back(ServerClient{info->index, processIdProperty(info->proplist),
                                          stringProperty(info->proplist, PA_PROP_APPLICATION_NAME),
                                          stringProperty(info->proplist, PA_PROP_APPLICATION_ID)});
}

void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
  auto* r = static_cast<Reading*>(userdata);
  if (!isEntry(r, info, eol)) return;
  r->state.streams.push_back(
      ServerPlaybackStream{info->index, info->client, info->sink, processIdProperty(info->proplist),
                           stringProperty(info->proplist, PA_PROP_APPLICATION_NAME),
                           stringProperty(info->proplist, PA_PROP_APPLICATION_ID)});
}

}  // namespace

std::optional<int32_t> processIdProperty(const pa_proplist* props) {
  auto pid = parseSourceId(stringProperty(props, PA_PROP_APPLICATION_PROCESS_ID));
  if (!pid || *pid <= 0) return std::nullopt;
  return pid;
}

Result<ServerState> readServerState(pulse::PulseConnection& connection,
                                    std::chrono::steady_clock::time_point deadline) {
  Reading r{&connection, {}};
  pulse::PulseLock lock(connection);
  pa_context* c = connection.readyContextLocked();
  if (c == nullptr) {
    return pulseError(PA_ERR_CONNECTIONTERMINATED, "Cannot read the sound server's streams");
  }
  // Issued together; the server answers them in order.
  pa_operation* ops[] = {
      pa_context_get_server_info(c, &onServerInfo, &r),
      pa_context_get_sink_info_list(c, &onSink, &r),
      pa_context_get_client_info_list(c, &onClient, &r),
      pa_context_get_sink_input_info_list(c, &onSinkInput, &r),
  };
  // Each wait ends by the deadline; an operation still running then is cancelled, so no
  // callback touches r after this function returns.
  bool ok = true;
  for (pa_operation* op : ops) {
    const auto left = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   deadline - std::chrono::steady_clock::now()),
                               std::chrono::milliseconds(0));
    ok = connection.awaitLocked(op, left) && ok;
  }
  if (!ok || r.failed) {
    // A list the server failed carries its error; an operation still running at the
    // deadline is a server that did not answer.
    const bool late = !r.failed && connection.readyContextLocked() != nullptr;
    return pulseError(late ? PA_ERR_TIMEOUT : connection.errorCodeLocked(),
                      "Cannot read the sound server's streams");
  }
  const auto byIndex = [](const auto& a, const auto& b) { return a.index < b.index; };
  std::stable_sort(r.state.clients.begin(), r.state.clients.end(), byIndex);
  std::stable_sort(r.state.streams.begin(), r.state.streams.end(), byIndex);
  return std::move(r.state);
}

}  // namespace lumewell::app_audio
