#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

const char* kRequired = "segmentPaths and outputPath are required to assemble a recording.";

class AssemblyTest : public RecorderTest {
 protected:
  AssemblyTest() {
    for (int i = 0; i < 3; ++i) {
      segments.push_back(dir.path() + "/seg" + std::to_string(i) + ".m4a");
      writeFile(segments.back(), "segment " + std::to_string(i));
    }
  }
  std::shared_ptr<FakeMessenger::Call> assemble(const ValueList& paths, const std::string& out) {
    return invokeAndRun("assembleRecording",
                        Value(ValueMap{{"segmentPaths", paths}, {"outputPath", out}}));
  }
  std::vector<std::string> segments;
};

TEST_F(AssemblyTest, ArgumentErrors) {
  const std::string out = dir.path() + "/out.m4a";
  expectError(invokeAndRun("assembleRecording"), "bad_args", kRequired);
  expectError(invokeAndRun("assembleRecording", Value(ValueMap{{"outputPath", out}})), "bad_args",
              kRequired);
  expectError(invokeAndRun("assembleRecording",
                           Value(ValueMap{{"segmentPaths", segments[0]}, {"outputPath", out}})),
              "bad_args", kRequired);
  expectError(assemble({Value(segments[0]), Value(int32_t{3})}, out), "bad_args", kRequired);
  expectError(invokeAndRun("assembleRecording",
                           Value(ValueMap{{"segmentPaths", ValueList{Value(segments[0])}},
                                          {"outputPath", int32_t{1}}})),
              "bad_args", kRequired);
  expectError(assemble({Value(segments[0])}, ""), "bad_args", kRequired);
  expectError(assemble({}, out), "bad_args",
              "At least one segment path is required to assemble a recording.");
  expectError(assemble({Value(""), Value("")}, out), "bad_args",
              "At least one segment path is required to assemble a recording.");
  EXPECT_FALSE(exists(out));
}

TEST_F(AssemblyTest, OneSegmentIsCopiedIntoAFreshOutputInNewFolders) {
  const std::string out = dir.path() + "/a/b/c/out.m4a";
  expectSuccess(assemble({Value(""), Value(segments[1]), Value("")}, out));
  EXPECT_EQ(readFile(out), "segment 1");
  EXPECT_TRUE(audio->composeCalls.empty());

  // An earlier output is replaced.
  expectSuccess(assemble({Value(segments[2])}, out));
  EXPECT_EQ(readFile(out), "segment 2");

  expectError(assemble({Value(dir.path() + "/missing.m4a")}, out), "assemble_failed",
              "Failed to copy assembled audio output.", "*");
  EXPECT_FALSE(exists(out));  // the old output was removed in preparation
}

TEST_F(AssemblyTest, TwoOrMoreSegmentsAreJoinedInOrderAndAnsweredOnTheMainThread) {
  const std::string out = dir.path() + "/joined.m4a";
  writeFile(out, "old");
  auto call = messenger.invoke(
      "assembleRecording",
      Value(ValueMap{{"segmentPaths", ValueList{Value(segments[2]), Value(""), Value(segments[0])}},
                     {"outputPath", out}}));
  EXPECT_FALSE(call->answered());  // the join ends on a worker; the answer hops over
  scheduler.runPending();
  expectSuccess(call);
  ASSERT_EQ(audio->composeCalls.size(), 1u);
  EXPECT_EQ(audio->composeCalls[0].paths, (std::vector<std::string>{segments[2], segments[0]}));
  EXPECT_EQ(audio->composeCalls[0].output, out);
  EXPECT_FALSE(audio->composeCalls[0].overlay);

  audio->composeError =
      Error{kProgramErrorDomain, 11, "Audio track missing for segment " + segments[0] + "."};
  expectError(assemble({Value(segments[1]), Value(segments[0])}, out), "assemble_failed",
              "Failed to assemble the recording.",
              "Audio track missing for segment " + segments[0] + ".");
}

TEST_F(AssemblyTest, AnOutputThatCannotBePreparedNeverCostsASegment) {
  writeFile(dir.path() + "/file", "x");
  expectError(assemble({Value(segments[0])}, dir.path() + "/file/out.m4a"), "assemble_failed",
              "Failed to prepare assembled audio output.", "*");

  // The output is one of the inputs, also spelled differently: refused, the segment intact.
  for (const std::string& out :
       {segments[1], dir.path() + "/./seg1.m4a", dir.path() + "/x/../seg1.m4a"}) {
    expectError(assemble({Value(segments[0]), Value(segments[1])}, out), "assemble_failed",
                "Failed to prepare assembled audio output.", "*");
    EXPECT_EQ(readFile(segments[1]), "segment 1");
  }
  // A folder at the output path is not removed.
  std::filesystem::create_directories(dir.path() + "/folder/inner");
  expectError(assemble({Value(segments[0])}, dir.path() + "/folder"), "assemble_failed",
              "Failed to prepare assembled audio output.", "*");
  EXPECT_TRUE(exists(dir.path() + "/folder/inner"));
  EXPECT_TRUE(audio->composeCalls.empty());
}

}  // namespace
}  // namespace lumewell::recorder::testing
