#include <sys/stat.h>

#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

const char* kPrepareFailed = "Failed to prepare assembled audio output.";
const char* kAssembleFailed = "Failed to assemble the recording.";

Value pathList(const Log& paths) { return Value(ValueList(paths.begin(), paths.end())); }

class AssemblyTest : public RecorderTest {
 protected:
  AssemblyTest() {
    for (int i = 0; i < 3; ++i) writeFile(segments[i], "segment " + std::to_string(i));
  }
  std::shared_ptr<Call> assemble(const Log& paths, const std::string& out, bool run = true) {
    const Value args(ValueMap{{"segmentPaths", pathList(paths)}, {"outputPath", out}});
    return run ? invokeAndRun("assembleRecording", args) : invoke("assembleRecording", args);
  }
  const Log segments{dir.path() + "/seg0.m4a", dir.path() + "/seg1.m4a", dir.path() + "/seg2.m4a"};
  const std::string out = dir.path() + "/out.m4a";
};

TEST_F(AssemblyTest, OneSegmentIsCopiedIntoAFreshOutputInNewFoldersMoreAreJoinedInOrder) {
  const std::string deep = dir.path() + "/a/b/c/out.m4a";
  expectSuccess(assemble({"", segments[1], ""}, deep));
  EXPECT_EQ(readFile(deep), "segment 1");
  expectSuccess(assemble({segments[2]}, deep));  // an earlier output is replaced
  EXPECT_EQ(readFile(deep), "segment 2");
  expectError(assemble({dir.path() + "/missing.m4a"}, deep), "assemble_failed",
              "Failed to copy assembled audio output.", "*");
  EXPECT_FALSE(exists(deep));  // the old output was removed in preparation

  // Two or more are joined in order, the answer given on the main thread.
  auto call = assemble({segments[2], "", segments[0]}, out, /*run=*/false);
  EXPECT_FALSE(call->answered());
  scheduler.runPending();
  expectSuccess(call);
  EXPECT_EQ(audio->composeCalls, (std::vector<Log>{{segments[2], segments[0], "-> " + out}}));
  const std::string missing = "Audio track missing for segment " + segments[0] + ".";
  audio->composeError = Error{kProgramErrorDomain, 11, missing};
  expectError(assemble({segments[1], segments[0]}, out), "assemble_failed", kAssembleFailed,
              missing);
}

// Refused before anything is prepared: no file changes.
TEST_F(AssemblyTest, BadArgumentsAndPathsThatCannotBeOutputsOrInputsAreRefusedChangingNothing) {
  writeFile(out, "old");
  const Log one{segments[0]}, two{segments[0], segments[1]};
  for (const Value& args :
       {Value(), Value(ValueMap{{"segmentPaths", segments[0]}, {"outputPath", out}}),
        Value(ValueMap{{"segmentPaths", ValueList{Value(segments[0]), Value(int32_t{3})}},
                       {"outputPath", out}}),
        Value(ValueMap{{"segmentPaths", pathList(one)}, {"outputPath", int32_t{1}}}),
        Value(ValueMap{{"segmentPaths", pathList(one)}, {"outputPath", ""}})}) {
    expectError(invokeAndRun("assembleRecording", args), "bad_args",
                "segmentPaths and outputPath are required to assemble a recording.");
  }
  expectError(assemble({"", ""}, out), "bad_args",
              "At least one segment path is required to assemble a recording.");
  writeFile(dir.path() + "/file", "x");
  std::filesystem::create_directories(dir.path() + "/folder/inner");
  // A parent that is a file; the output as one of the inputs, however spelled; a folder.
  for (const auto& [out, paths] :
       {std::pair{dir.path() + "/file/out.m4a", one}, std::pair{dir.path() + "/x/../seg1.m4a", two},
        std::pair{dir.path() + "/folder", one}}) {
    expectError(assemble(paths, out), "assemble_failed", kPrepareFailed, "*");
  }
  EXPECT_EQ(readFile(segments[1]), "segment 1");
  EXPECT_TRUE(exists(dir.path() + "/folder/inner"));

  // No absolute local path (a URL to the media layer), a FIFO (looked at, never opened: nothing
  // waits for a writer), a folder: refused as the one input (the copy) and in a join.
  const std::string fifo = dir.path() + "/fifo.m4a";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string notLocal = " is not an absolute local file path.";
  for (const auto& [path, details] :
       {std::pair{"concat:" + segments[0] + "|" + segments[1], notLocal},
        std::pair{fifo, std::string(" is a FIFO, not a regular file.")},
        std::pair{dir.path(), std::string(" is a folder, not a regular file.")}}) {
    for (const Log& list : {Log{path}, Log{segments[0], path}}) {
      expectError(assemble(list, out), "assemble_failed", kAssembleFailed,
                  "The segment path " + path + details);
    }
  }
  // The copy holds its one input to what a join reads: a file that opens as MP4 media.
  audio->durations[segments[2]] = std::nullopt;
  expectError(assemble({segments[2]}, out), "assemble_failed", kAssembleFailed,
              "The segment path " + segments[2] + " is not an MP4 audio file.");

  const auto outputRefused = [&](const std::string& output, const std::string& why) {
    expectError(assemble(two, output), "assemble_failed", kPrepareFailed,
                "The output path " + output + why);
  };
  outputRefused("http://127.0.0.1:9/x.m4a", notLocal);
  outputRefused(fifo, " is not a regular file.");  // a FIFO or a device is never removed
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
  // A sealed segment of a finished recording (through a link); another name beside it is fine.
  std::filesystem::create_directories(folder("rec-0"));
  writeFile(file("000003.m4a", "rec-0"), "sealed");
  std::filesystem::create_directory_symlink(folder("rec-0"), dir.path() + "/link");
  outputRefused(dir.path() + "/link/000003.m4a", " is a segment file of a recording.");
  EXPECT_EQ(readFile(file("000003.m4a", "rec-0")), "sealed");
  expectSuccess(assemble(one, file("upload.m4a", "rec-0")));

  // The recording in progress: its live segment and anything else in its folder.
  expectSuccess(start("rec-1"));
  const std::string live = readFile(file("000000.m4a"));
  for (const std::string& inside : {file("000000.m4a"), file("sub/x.m4a")}) {
    outputRefused(inside, " is inside the folder of the recording in progress.");
  }
  EXPECT_EQ(readFile(file("000000.m4a")), live);
  EXPECT_FALSE(exists(file("sub")));
  EXPECT_TRUE(audio->composeCalls.empty());
  EXPECT_EQ(readFile(out), "old");
}

}  // namespace
}  // namespace lumewell::recorder::testing
