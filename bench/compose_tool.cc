// Runs one composition from the command line, for benchmarks and by hand:
//   compose_tool sequence OUTPUT INPUT... | @LISTFILE (one input path per line)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "media/compose_audio.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s sequence OUTPUT INPUT...|@LISTFILE\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  if (mode != "sequence") {
    std::fprintf(stderr, "the only mode is sequence\n");
    return 2;
  }
  // The media layer reads and writes absolute paths only; the command line's are relative to
  // the working folder.
  auto absolute = [](const std::string& path) { return std::filesystem::absolute(path).string(); };
  std::vector<std::string> inputs;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() > 1 && arg[0] == '@') {
      std::ifstream list(arg.substr(1));
      if (!list) {
        std::fprintf(stderr, "cannot read %s\n", arg.c_str() + 1);
        return 2;
      }
      for (std::string line; std::getline(list, line);) {
        if (!line.empty()) inputs.push_back(absolute(line));
      }
    } else {
      inputs.push_back(absolute(arg));
    }
  }

  const auto start = std::chrono::steady_clock::now();
  std::promise<lumewell::OptionalError> done;
  lumewell::media::composeAudio(inputs, absolute(argv[2]),
                                [&done](lumewell::OptionalError error) { done.set_value(error); });
  const lumewell::OptionalError error = done.get_future().get();
  lumewell::media::cancelAllCompositions();  // nothing left to cancel: waits for the worker
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (error) {
    std::fprintf(stderr, "failed (%s %d): %s\n", error->domain.c_str(), error->code,
                 error->localizedDescription.c_str());
    return 1;
  }
  std::printf("%s of %zu inputs: %.3f s\n", mode.c_str(), inputs.size(), seconds);
  return 0;
}
