#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app_audio/catalogue_rules.h"
#include "app_audio/process_table.h"

namespace lumewell::app_audio {

// The sound server's lists as read, before they are turned into a snapshot.
struct ServerClient {
  uint32_t index = 0;
  std::optional<int32_t> processId;  // application.process.id
  std::string applicationName;       // application.name
  std::string applicationId;         // application.id
};

struct ServerPlaybackStream {
  uint32_t index = 0;
  uint32_t client = UINT32_MAX;  // none: a stream made by the server itself
  uint32_t sink = UINT32_MAX;
  std::optional<int32_t> processId;
  std::string applicationName;
  std::string applicationId;
};

struct ServerSink {
  uint32_t index = 0;
  std::string name;
  std::string description;
  std::string monitorSource;
};

struct ServerState {
  std::vector<ServerClient> clients;
  std::vector<ServerPlaybackStream> streams;
  std::vector<ServerSink> sinks;
  std::string defaultSinkName;
};

struct SnapshotEnvironment {
  int32_t hostProcessId = 0;
  const ProcessTable* processes = nullptr;
  // The installed desktop entry's id that runs this program (path or name), or empty.
  std::function<std::string(const std::string& program)> desktopEntryId;
};

// The process a stream or client is counted to, or none when it belongs to no application
// (no process, the host, the sound server).
std::optional<int32_t> owningApplicationProcess(std::optional<int32_t> pid,
                                                const SnapshotEnvironment& env);

// Applications (one per application process, in order of first appearance among the clients,
// then the streams), their streams placed on their sinks, and the sinks with the default first.
ShareableContent buildShareableContent(const ServerState& state, const SnapshotEnvironment& env);

}  // namespace lumewell::app_audio
