#include <filesystem>

#include "recorder/recorder_files.h"
#include "recorder/recorder_plugin.h"

namespace lumewell::recorder {
namespace {

constexpr const char* kPrepareFailed = "Failed to prepare assembled audio output.";

}  // namespace

void LumewellNativeRecorderPlugin::assembleRecording(const Value& arguments,
                                                     MethodResultPtr result) {
  const ValueMap* args = arguments.asMap();
  const Value* listValue = args != nullptr ? args->find("segmentPaths") : nullptr;
  const ValueList* list = listValue != nullptr ? listValue->asList() : nullptr;
  const std::string* outputPath = mapString(args, "outputPath");
  bool allStrings = list != nullptr;
  if (list != nullptr) {
    for (const auto& item : *list) allStrings = allStrings && item.asString() != nullptr;
  }
  if (!allStrings || outputPath == nullptr || outputPath->empty()) {
    result->error("bad_args", "segmentPaths and outputPath are required to assemble a recording.");
    return;
  }
  std::vector<std::string> paths;
  for (const auto& item : *list) {
    if (!item.asString()->empty()) paths.push_back(*item.asString());
  }
  if (paths.empty()) {
    result->error("bad_args", "At least one segment path is required to assemble a recording.");
    return;
  }
  const std::string& output = *outputPath;
  // Preparing the output removes what is there: never one of the segments being joined.
  for (const auto& path : paths) {
    if (sameFile(path, output)) {
      result->error("assemble_failed", kPrepareFailed,
                    Value("The output path is one of the segment paths: " + output));
      return;
    }
  }
  std::string parent = std::filesystem::path(output).parent_path().string();
  OptionalError prepared = parent.empty() ? std::nullopt : createFolders(parent);
  if (!prepared) prepared = removeFileIfPresent(output);
  if (prepared) {
    result->error("assemble_failed", kPrepareFailed, Value(prepared->localizedDescription));
    return;
  }
  if (paths.size() == 1) {
    if (auto error = copyFile(paths.front(), output)) {
      result->error("assemble_failed", "Failed to copy assembled audio output.",
                    Value(error->localizedDescription));
      return;
    }
    result->success();
    return;
  }
  audio_->composeAudio(std::move(paths), output, false,
                       [scheduler = &scheduler_, result = std::move(result)](OptionalError error) {
                         scheduler->post([result, error = std::move(error)] {
                           if (error) {
                             result->error("assemble_failed", "Failed to assemble the recording.",
                                           Value(error->localizedDescription));
                           } else {
                             result->success();
                           }
                         });
                       });
}

}  // namespace lumewell::recorder
