#include "app_audio/snapshot_builder.h"

#include <algorithm>
#include <array>
#include <map>
#include <string_view>

namespace lumewell::app_audio {

std::optional<int32_t> owningApplicationProcess(std::optional<int32_t> pid,
                                                const SnapshotEnvironment& env) {
  // Programs of the sound servers themselves: their clients are never applications.
  static constexpr std::array<std::string_view, 5> kServers = {
      "pulseaudio", "pipewire", "pipewire-pulse", "wireplumber", "pipewire-media-session"};
  if (!pid || *pid <= 0 || *pid == env.hostProcessId) return std::nullopt;
  const std::string program = env.processes->program(*pid);
  // A process that has exited is gone even while the server still lists its stream (it
  // notices a moment later).
  if (program.empty() || std::ranges::find(kServers, programName(program)) != kServers.end()) {
    return std::nullopt;
  }
  int32_t app = applicationProcess(*env.processes, *pid);
  if (app == env.hostProcessId) return std::nullopt;
  return app;
}

ShareableContent buildShareableContent(const ServerState& state, const SnapshotEnvironment& env) {
  struct Member {
    int32_t pid;
    std::string applicationName;
    std::string applicationId;
  };
  struct Group {
    int32_t appPid;
    std::vector<Member> members;
  };
  std::vector<Group> groups;
  std::map<int32_t, size_t> groupOf;
  auto add = [&](std::optional<int32_t> pid, const std::string& name, const std::string& id) {
    auto app = owningApplicationProcess(pid, env);
    if (!app) return std::optional<int32_t>{};
    auto [it, fresh] = groupOf.emplace(*app, groups.size());
    if (fresh) groups.push_back(Group{*app, {}});
    groups[it->second].members.push_back(Member{*pid, name, id});
    return app;
  };

  std::map<uint32_t, std::optional<int32_t>> clientPid;
  for (const auto& c : state.clients) {
    clientPid[c.index] = c.processId;
    add(c.processId, c.applicationName, c.applicationId);
  }

  ShareableContent content;
  for (const auto& s : state.streams) {
    std::optional<int32_t> pid = s.processId;
    if (!pid) {
      auto it = clientPid.find(s.client);
      if (it != clientPid.end()) pid = it->second;
    }
    auto app = add(pid, s.applicationName, s.applicationId);
    content.windows.push_back(SnapshotWindow{app, s.sink});
  }

  // The application process's own names win over its helpers'; then first seen wins.
  auto pick = [](const Group& g, auto field) {
    for (const auto& m : g.members) {
      if (m.pid == g.appPid && !(m.*field).empty()) return m.*field;
    }
    for (const auto& m : g.members) {
      if (!(m.*field).empty()) return m.*field;
    }
    return std::string();
  };
  for (const auto& g : groups) {
    SnapshotApplication app;
    app.processID = g.appPid;
    const std::string program = env.processes->program(g.appPid);
    const std::string name = programName(program);
    app.applicationName = pick(g, &Member::applicationName);
    if (app.applicationName.empty()) app.applicationName = name;
    app.bundleIdentifier = pick(g, &Member::applicationId);
    if (app.bundleIdentifier.empty() && env.desktopEntryId && !program.empty()) {
      app.bundleIdentifier = env.desktopEntryId(program);
    }
    if (app.bundleIdentifier.empty()) app.bundleIdentifier = name;
    content.applications.push_back(std::move(app));
  }

  for (const auto& sink : state.sinks) {
    SnapshotDisplay d{sink.index, sink.name, sink.description};
    if (sink.name == state.defaultSinkName) {
      content.displays.insert(content.displays.begin(), std::move(d));
    } else {
      content.displays.push_back(std::move(d));
    }
  }
  return content;
}

}  // namespace lumewell::app_audio
