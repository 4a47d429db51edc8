#include "app_audio/server_state_reader.h"

namespace lumewell::app_audio {
namespace {

struct Reading {
  PulseLoop* loop;
  ServerState state;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* r = static_cast<Reading*>(userdata);
  if (info != nullptr && info->default_sink_name != nullptr) {
    r->state.defaultSinkName = info->default_sink_name;
  }
  r->loop->signal();
}

void onSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* r = static_cast<Reading*>(userdata);
  if (eol == 0 && info != nullptr) {
    r->state.sinks.push_back(ServerSink{
        info->index, info->name ? info->name : "", info->description ? info->description : "",
        info->monitor_source_name ? info->monitor_source_name : ""});
  }
  if (eol != 0) r->loop->signal();
}

void onClient(pa_context*, const pa_client_info* info, int eol, void* userdata) {
  auto* r = static_cast<Reading*>(userdata);
  if (eol == 0 && info != nullptr) {
    r->state.clients.push_back(
        ServerClient{info->index, processIdProperty(info->proplist),
                     stringProperty(info->proplist, PA_PROP_APPLICATION_NAME),
                     stringProperty(info->proplist, PA_PROP_APPLICATION_ID)});
  }
  if (eol != 0) r->loop->signal();
}

void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
  auto* r = static_cast<Reading*>(userdata);
  if (eol == 0 && info != nullptr) {
    r->state.streams.push_back(ServerPlaybackStream{
        info->index, info->client, info->sink, processIdProperty(info->proplist),
        stringProperty(info->proplist, PA_PROP_APPLICATION_NAME),
        stringProperty(info->proplist, PA_PROP_APPLICATION_ID)});
  }
  if (eol != 0) r->loop->signal();
}

}  // namespace

std::string stringProperty(const pa_proplist* props, const char* key) {
  if (props == nullptr) return {};
  const char* v = pa_proplist_gets(props, key);
  return v != nullptr ? std::string(v) : std::string();
}

std::optional<int32_t> processIdProperty(const pa_proplist* props) {
  auto pid = parseSourceId(stringProperty(props, PA_PROP_APPLICATION_PROCESS_ID));
  if (!pid || *pid <= 0) return std::nullopt;
  return pid;
}

Result<ServerState> readServerState(PulseLoop& loop) {
  Reading r{&loop, {}};
  PulseLock lock(loop);
  pa_context* c = loop.context();
  // Issued together; the server answers them in order.
  pa_operation* ops[] = {
      pa_context_get_server_info(c, &onServerInfo, &r),
      pa_context_get_sink_info_list(c, &onSink, &r),
      pa_context_get_client_info_list(c, &onClient, &r),
      pa_context_get_sink_input_info_list(c, &onSinkInput, &r),
  };
  bool ok = true;
  for (pa_operation* op : ops) ok = loop.await(op) && ok;
  if (!ok) return loop.lastError("Cannot read the sound server's streams");
  std::stable_sort(r.state.clients.begin(), r.state.clients.end(),
                   [](const auto& a, const auto& b) { return a.index < b.index; });
  std::stable_sort(r.state.streams.begin(), r.state.streams.end(),
                   [](const auto& a, const auto& b) { return a.index < b.index; });
  return std::move(r.state);
}

}  // namespace lumewell::app_audio
