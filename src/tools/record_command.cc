#include "tools/record_command.h"

#include <glib-unix.h>
#include <glib.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <vector>

#include "channels/method_channel.h"
#include "runtime/glib_scheduler.h"
#include "tools/ctl_client.h"
#include "tools/json_mapping.h"
#include "tools/printable.h"

namespace lumewell::tools {
namespace {

const char* kRecorder = "lumewell/native_recorder";
const char* kRecorderEvents = "lumewell/native_recorder/events";

int64_t intOf(const ValueMap& map, const char* key) {
  int64_t v = 0;
  if (const Value* x = map.find(key)) x->asInt64(&v);
  return v;
}

std::string stringOf(const ValueMap& map, const char* key) {
  const std::string* s = mapString(&map, key);
  return s != nullptr ? *s : std::string();
}

std::string defaultRecordingId() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "rec-%Y%m%d-%H%M%S", &tm);
  return buf;
}

// Resolves --app to a source id and display name through the catalogue.
bool resolveApp(CtlClient& client, const std::string& wanted, std::string* id, std::string* name) {
  auto answer = client.call(kRecorder, "listAppAudioSources", Value());
  if (!answer.ok() || answer->kind != MethodEnvelope::Kind::success) return false;
  const ValueList* list = answer->result.asList();
  if (list == nullptr) return false;
  for (const auto& item : *list) {
    const ValueMap* m = item.asMap();
    if (m == nullptr) continue;
    std::string sid = stringOf(*m, "id"), sname = stringOf(*m, "displayName");
    if (sid == wanted || g_ascii_strcasecmp(sname.c_str(), wanted.c_str()) == 0) {
      *id = sid;
      *name = sname;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string formatSealedSegment(const ValueMap& event) {
  char line[256];
  std::string hash = printableText(stringOf(event, "sha256").substr(0, 12));
  std::snprintf(line, sizeof line, "segment %06lld  %7.3f s  %9.1f KiB  sha256 %s",
                static_cast<long long>(intOf(event, "index")),
                static_cast<double>(intOf(event, "durationMs")) / 1000.0,
                static_cast<double>(intOf(event, "byteLength")) / 1024.0, hash.c_str());
  return line;
}

std::string formatLevelBar(double level) {
  const int width = 40;
  double db = level > 0 ? 20.0 * std::log10(level) : -160.0;
  int filled = static_cast<int>(std::lround((std::clamp(db, -60.0, 0.0) + 60.0) / 60.0 * width));
  char text[32];
  std::snprintf(text, sizeof text, " %6.1f dBFS", std::max(db, -99.9));
  return "[" + std::string(filled, '#') + std::string(width - filled, ' ') + "]" + text;
}

int runRecord(const RecordOptions& options) {
  auto client = CtlClient::connect(options.socketPath, options.timeoutSeconds);
  if (!client) return kExitUnreachable;
  ValueMap args;
  std::string mode = "MIC_ONLY", sourceId, sourceName;
  if (!options.app.empty()) {
    if (!resolveApp(*client, options.app, &sourceId, &sourceName)) {
      std::cerr << "lumewellctl: no application matches \"" << options.app
                << "\"; `lumewellctl sources` lists the ones that play audio." << std::endl;
      return kExitError;
    }
    mode = "MIC_PLUS_APP_AUDIO";
  }
  ValueMap preflightArgs{{"captureMode", Value(mode)}};
  if (!sourceId.empty()) preflightArgs.set("sourceId", Value(sourceId));
  auto preflight = client->call(kRecorder, "runPreflight", Value(preflightArgs));
  if (!preflight.ok()) return reportCallFailure(options.socketPath, preflight.error());
  if (preflight->kind != MethodEnvelope::Kind::success) return printEnvelope(*preflight);
  const ValueMap* result = preflight->result.asMap();
  const bool* ready = mapBool(result, "ready");
  if (const std::string* warning = mapString(result, "warning")) {
    std::cerr << "warning: " << printableText(*warning) << std::endl;
  }
  if (ready == nullptr || !*ready) {
    const std::string* reason = mapString(result, "reason");
    std::cerr << "not ready: " << printableText(reason ? *reason : "unknown reason") << std::endl;
    return kExitError;
  }

  std::string folder;
  bool stopped = false;
  bool failed = false;
  bool tty = isatty(fileno(stderr)) != 0;
  auto listen = client->listen(kRecorderEvents, [&](const Value& event) {
    const ValueMap* m = event.asMap();
    if (m == nullptr) return;
    std::string type = stringOf(*m, "type");
    if (type == "level_changed") {
      if (!tty) return;
      const Value* v = m->find("level");
      const double* level = v != nullptr ? v->getIf<double>() : nullptr;
      std::fprintf(stderr, "\r%s", formatLevelBar(level != nullptr ? *level : 0).c_str());
      std::fflush(stderr);
      return;
    }
    if (tty) std::fprintf(stderr, "\r\033[K");
    if (type == "segment_sealed") {
      std::cout << formatSealedSegment(*m) << std::endl;
      gchar* dir = g_path_get_dirname(stringOf(*m, "path").c_str());
      folder = dir;
      g_free(dir);
    } else if (type == "stopped" || type == "error") {
      if (type == "error")
        std::cout << "error: " << printableText(stringOf(*m, "message")) << std::endl;
      failed = failed || type == "error";
      stopped = true;
      client->stop();
    } else if (type == "source_lost") {
      std::cout << "source lost (" << printableText(stringOf(*m, "sourceDisplayName"))
                << "): " << printableText(stringOf(*m, "reason")) << std::endl;
    }
  });
  if (!listen.ok()) return reportCallFailure(options.socketPath, listen.error());

  args.set("recordingId",
           Value(options.recordingId.empty() ? defaultRecordingId() : options.recordingId));
  args.set("captureMode", Value(mode));
  if (!sourceId.empty()) {
    args.set("sourceId", Value(sourceId));
    args.set("sourceDisplayName", Value(sourceName));
  }
  auto start = client->call(kRecorder, "startRecording", Value(args));
  if (!start.ok()) return reportCallFailure(options.socketPath, start.error());
  if (start->kind != MethodEnvelope::Kind::success) return printEnvelope(*start);
  std::cerr << "recording "
            << (mode == "MIC_ONLY" ? "the microphone" : "microphone + " + printableText(sourceName))
            << " for " << options.seconds << " s (Ctrl-C stops earlier)" << std::endl;

  // Stop on time or on Ctrl-C; either way the last segment is sealed before we leave.
  bool stopRequested = false;
  bool stopTimedOut = false;
  int stopRefused = kExitOk;  // the exit status of a stop the host did not accept
  GSource* stopTimer = nullptr;
  const double stopLimit = *callTimeout("stopRecording", options.timeoutSeconds);
  std::function<void()> expire = [&] {
    stopTimedOut = true;
    client->stop();
  };
  // Asking twice is harmless (requestStop is idempotent, and the loop ends at the first
  // expiry), so every source just stays armed until we leave.
  const GSourceFunc callFunction = [](gpointer fn) -> gboolean {
    (*static_cast<std::function<void()>*>(fn))();
    return G_SOURCE_CONTINUE;
  };
  std::function<void()> requestStop = [&] {
    if (stopRequested) return;
    stopRequested = true;
    // A host that takes the stop but never reports "stopped" must not hold us for ever.
    stopTimer = g_timeout_source_new(static_cast<guint>(stopLimit * 1000));
    g_source_set_callback(stopTimer, callFunction, &expire, nullptr);
    g_source_attach(stopTimer, client->context());
    MethodChannel(*client->messenger(), kRecorder)
        .invokeMethod("stopRecording", Value(), [&](Result<MethodEnvelope> env) {
          if (env.ok() && env->kind != MethodEnvelope::Kind::success) {
            stopRefused = printEnvelope(*env);
          }
          if (!env.ok() || env->kind != MethodEnvelope::Kind::success) client->stop();
        });
  };
  std::vector<GSource*> stopSources = {
      g_timeout_source_new(static_cast<guint>(options.seconds * 1000)),
      g_unix_signal_source_new(SIGINT), g_unix_signal_source_new(SIGTERM)};
  for (GSource* source : stopSources) {
    g_source_set_callback(source, callFunction, &requestStop, nullptr);
    g_source_attach(source, client->context());
  }
  client->run();
  for (GSource*& source : stopSources) dropSource(source);
  dropSource(stopTimer);
  // The host answered the stop with an error (printed above): its answer, not "went away".
  if (!stopped && stopRefused != kExitOk) return stopRefused;
  if (!stopped && stopTimedOut) {
    std::cerr << "lumewellctl: the host did not report the recording stopped within " << stopLimit
              << " s (--timeout SECONDS waits longer)." << std::endl;
    return kExitUnreachable;
  }
  if (!stopped) {
    std::cerr << "lumewellctl: the host went away before the recording stopped." << std::endl;
    return kExitUnreachable;
  }
  if (!folder.empty()) std::cout << "folder: " << printableText(folder) << std::endl;
  return failed ? kExitError : kExitOk;
}

int runSources(const std::string& socketPath, std::optional<double> timeoutSeconds) {
  auto client = CtlClient::connect(socketPath, timeoutSeconds);
  if (!client) return kExitUnreachable;
  auto answer = client->call(kRecorder, "listAppAudioSources", Value());
  if (!answer.ok()) return reportCallFailure(socketPath, answer.error());
  if (answer->kind != MethodEnvelope::Kind::success) return printEnvelope(*answer);
  const ValueList* list = answer->result.asList();
  if (list == nullptr || list->empty()) {
    std::cout << "No application is playing audio that can be recorded." << std::endl;
    return kExitOk;
  }
  for (const auto& item : *list) {
    if (const ValueMap* m = item.asMap()) {
      std::printf("%-8s %s\n", printableText(stringOf(*m, "id")).c_str(),
                  printableText(stringOf(*m, "displayName")).c_str());
    }
  }
  return kExitOk;
}

}  // namespace lumewell::tools
