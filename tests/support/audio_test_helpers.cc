#include "support/audio_test_helpers.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cmath>
#include <cstring>

#include "support/pulse_server.h"

extern char** environ;

namespace lumewell::testing {

Child::Child(const std::vector<std::string>& argv, const std::string& pulseServer) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "PULSE_SERVER=", 13) != 0) env.emplace_back(*e);
  }
  env.push_back("PULSE_SERVER=" + pulseServer);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  if (posix_spawnp(&pid_, args[0], nullptr, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
}

void Child::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void Child::reap() {
  if (pid_ <= 0) return;
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::vector<std::string> player(const std::string& name, const std::string& sink,
                                const std::string& wav) {
  return {"paplay",
          "--client-name=" + name,
          "--property=application.name=" + name,
          "-d",
          sink,
          "--latency-msec=1000",  // deep: a busy machine must not starve the player
          wav};
}

std::vector<float> decodeMono(const std::string& path) {
  std::string raw = commandOutput("ffmpeg -v error -i '" + path + "' -f f32le -ac 1 -ar 48000 -");
  std::vector<float> pcm(raw.size() / sizeof(float));
  std::memcpy(pcm.data(), raw.data(), pcm.size() * sizeof(float));
  return pcm;
}

double tonePower(const std::vector<float>& pcm, size_t begin, size_t end, double hz) {
  const double w = 2.0 * M_PI * hz / 48000.0;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (size_t i = begin; i < end && i < pcm.size(); ++i) {
    double s = pcm[i] + coeff * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double n = static_cast<double>(std::min(end, pcm.size()) - std::min(begin, pcm.size()));
  if (n <= 0) return 0;
  return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / (n * n);
}

double meanTonePower(const std::vector<float>& pcm, size_t begin, size_t end, double hz) {
  constexpr size_t kBlock = 4800;
  double sum = 0;
  size_t blocks = 0;
  for (size_t at = begin; at + kBlock <= end && at + kBlock <= pcm.size(); at += kBlock, ++blocks) {
    sum += tonePower(pcm, at, at + kBlock, hz);
  }
  return blocks == 0 ? 0 : sum / static_cast<double>(blocks);
}

}  // namespace lumewell::testing
