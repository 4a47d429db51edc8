#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "channels/event_channel.h"
#include "channels/method_channel.h"
#include "channels/socket_client_messenger.h"
#include "channels/socket_host_messenger.h"
#include "support/fake_messenger.h"
#include "support/main_loop_helpers.h"
#include "support/test_files.h"

namespace lumewell {
namespace {

using testing::FakeMessenger;
using testing::RecordingStreamHandler;
using testing::spinUntil;
using testing::TempDir;

TEST(MethodChannel, EveryCallIsAnsweredExactlyOnce) {
  FakeMessenger m;
  std::vector<std::string> doubleAnswers;  // replaces the messenger's failing hook
  MethodResult::setDoubleAnswerHook(
      [&](const std::string& what) { doubleAnswers.push_back(what); });
  MethodResultPtr kept;
  MethodChannel(m, "c").setMethodCallHandler([&](const MethodCall& call, MethodResultPtr result) {
    if (call.method == "twice") {
      result->success(Value(int32_t{1}));
      result->error("x", "y");  // a programming error: reported, not sent
    } else if (call.method == "keep") {
      kept = result;
    } else {
      result->notImplemented();
    }
  });
  // A second answer would also fail the messenger's own count.
  EXPECT_EQ(m.call("c", "twice")->reply,
            StandardMethodCodec::encodeSuccessEnvelope(Value(int32_t{1})));
  EXPECT_EQ(doubleAnswers.size(), 1u);

  auto keep = m.call("c", "keep");
  EXPECT_FALSE(keep->answered());  // pending while the plug-in holds it
  kept.reset();                    // released without an answer: the caller still hears back
  ASSERT_TRUE(keep->envelope);
  EXPECT_EQ(keep->envelope->error.code, "internal_error");

  // Not implemented, also for bytes that are not a method call: the empty reply.
  for (const auto& call : {m.call("c", "other"), m.deliver("c", Bytes{0x07, 0x09})}) {
    EXPECT_TRUE(call->answered() && call->reply.empty());
  }
}

class SocketTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx = g_main_context_new();
    path = dir.path() + "/run/lumewell-recorder/host.sock";
    auto host = SocketHostMessenger::listen(path, ctx);
    ASSERT_TRUE(host.ok()) << host.error().localizedDescription;
    messenger = std::move(*host);
    // "echo" is held until the test answers it, so replies must be matched by id.
    MethodChannel(*messenger, "test/echo")
        .setMethodCallHandler([this](const MethodCall& call, MethodResultPtr result) {
          if (call.method == "fail") {
            result->error("bad_args", "Nope.", Value("why"));
          } else if (call.method == "echo") {
            held.emplace_back(call.arguments, std::move(result));
          } else {
            result->notImplemented();
          }
        });
    events->greeting = Value("hello");
    EventChannel(*messenger, "test/events").setStreamHandler(events);
  }
  void TearDown() override {
    messenger.reset();
    g_main_context_unref(ctx);
  }
  std::unique_ptr<SocketClientMessenger> connect() {
    auto c = SocketClientMessenger::connect(path, ctx);
    EXPECT_TRUE(c.ok());
    return c.ok() ? std::move(*c) : nullptr;
  }
  // One call, the loop run (bounded) until its answer is in.
  MethodEnvelope ask(SocketClientMessenger& c, const std::string& channel,
                     const std::string& method) {
    auto got = std::make_shared<std::optional<MethodEnvelope>>();
    MethodChannel(c, channel).invokeMethod(method, Value(), [got, method](auto e) {
      if (!e.ok()) ADD_FAILURE() << method << ": " << e.error().localizedDescription;
      *got = e.ok() ? *e : MethodEnvelope{};
    });
    EXPECT_TRUE(spinUntil(ctx, [&] { return got->has_value(); })) << method;
    return got->value_or(MethodEnvelope{});
  }
  void emit(const Value& v) { events->sinks.back()(v); }

  TempDir dir;
  GMainContext* ctx = nullptr;
  std::string path;
  std::unique_ptr<SocketHostMessenger> messenger;
  std::shared_ptr<RecordingStreamHandler> events = std::make_shared<RecordingStreamHandler>();
  std::vector<std::pair<Value, MethodResultPtr>> held;
};

// Calls on two connections are matched by id; every listening connection has a stream of its
// own: a greeting goes to its listener alone, a cancel or a close ends that stream only, a
// repeated listen of the only listener replaces it and silences old sinks.
TEST_F(SocketTransportTest, ManyCallsAreMatchedByIdAndEveryListenerHasAStreamOfItsOwn) {
  EXPECT_EQ(testing::fileMode(path), 0600);
  EXPECT_EQ(testing::fileMode(dir.path() + "/run/lumewell-recorder"), 0700);

  auto a = connect(), b = connect(), idle = connect();
  std::map<std::string, Value> answers;
  const size_t kCalls = 200;
  for (size_t i = 0; i < kCalls; ++i) {
    for (auto* p : {a.get(), b.get()}) {
      std::string tag = (p == a.get() ? "a" : "b") + std::to_string(i);
      MethodChannel(*p, "test/echo").invokeMethod("echo", Value(tag), [&answers, tag](auto env) {
        ASSERT_TRUE(env.ok());
        answers[tag] = env->result;
      });
    }
  }
  ASSERT_TRUE(spinUntil(ctx, [&] { return held.size() == 2 * kCalls; }));
  for (auto it = held.rbegin(); it != held.rend(); ++it) it->second->success(it->first);
  held.clear();
  ASSERT_TRUE(spinUntil(ctx, [&] { return answers.size() == 2 * kCalls; }));
  for (auto& [tag, v] : answers) EXPECT_EQ(v, Value(tag));

  const MethodEnvelope failed = ask(*a, "test/echo", "fail");
  EXPECT_EQ(failed.error.code, "bad_args");
  EXPECT_EQ(failed.error.details, Value("why"));
  EXPECT_EQ(ask(*a, "test/echo", "other").kind, MethodEnvelope::Kind::notImplemented);
  EXPECT_EQ(ask(*a, "nobody", "x").kind, MethodEnvelope::Kind::notImplemented);

  std::map<SocketClientMessenger*, std::vector<Value>> got;
  for (SocketClientMessenger* m : {a.get(), b.get(), idle.get()}) {
    m->setMessageHandler("test/events", [&got, m](ByteView bytes, BinaryReply) {
      auto env = StandardMethodCodec::decodeEnvelope(bytes);
      if (env.ok()) got[m].push_back(env->result);
    });
  }
  auto listen = [&](SocketClientMessenger& m, const char* method = "listen") {
    return ask(m, "test/events", method).kind;
  };
  listen(*b);
  listen(*a);
  for (const char* e : {"1", "2", "3"}) emit(Value(e));
  const std::vector<Value> want{Value("hello"), Value("1"), Value("2"), Value("3")};
  ASSERT_TRUE(spinUntil(ctx, [&] { return got[a.get()].size() == 4 && got[b.get()].size() == 4; }));
  EXPECT_EQ(got[a.get()], want);
  EXPECT_EQ(got[b.get()], want);

  EXPECT_EQ(listen(*b, "cancel"), MethodEnvelope::Kind::success);
  EXPECT_EQ(listen(*b, "cancel"), MethodEnvelope::Kind::error);  // no stream of b's left
  listen(*a);
  EXPECT_EQ(events->cancels, 1);  // the replaced stream of a's; its new one greets it below
  events->sinks.front()(Value("stale"));
  emit(Value("fresh"));
  ASSERT_TRUE(spinUntil(ctx, [&] { return got[a.get()].size() == 6; }));
  EXPECT_EQ(got[a.get()][4], Value("hello"));
  EXPECT_EQ(got[a.get()][5], Value("fresh"));
  EXPECT_EQ(got[b.get()].size(), 4u);
  // A close ends that listener's stream only: b, listening again, goes on.
  // The handler hears a cancel once the last listener has gone.
  listen(*b);
  a.reset();
  spinUntil(
      ctx, [] { return false; }, std::chrono::milliseconds(100));
  emit(Value("after"));
  ASSERT_TRUE(spinUntil(ctx, [&] { return got[b.get()].size() == 6; }));
  EXPECT_EQ(got[b.get()][5], Value("after"));
  EXPECT_EQ(events->cancels, 1);
  b.reset();
  ASSERT_TRUE(spinUntil(ctx, [&] { return events->cancels == 2; }));
  EXPECT_TRUE(got[idle.get()].empty());
}

TEST_F(SocketTransportTest, AtTheConnectionLimitTheOldestIdleConnectionMakesRoom) {
  auto listener = connect(), waiting = connect();
  ASSERT_EQ(ask(*listener, "test/events", "listen").kind, MethodEnvelope::Kind::success);
  bool waited = false;
  MethodChannel(*waiting, "test/echo").invokeMethod("echo", Value(1), [&](auto) { waited = true; });
  ASSERT_TRUE(spinUntil(ctx, [&] { return held.size() == 1; }));
  std::vector<std::unique_ptr<SocketClientMessenger>> idle;
  for (int i = 0; i < 100; ++i) {
    idle.push_back(connect());
    g_main_context_iteration(ctx, FALSE);
  }
  auto late = connect();
  EXPECT_EQ(ask(*late, "test/echo", "fail").error.code, "bad_args");
  EXPECT_LE(messenger->connectionCount(), SocketHostMessenger::kConnectionLimit);
  // The listener and the one waiting for an answer were kept; the oldest idle ones made room.
  EXPECT_TRUE(listener->isConnected() && waiting->isConnected());
  EXPECT_TRUE(spinUntil(ctx, [&] { return !idle.front()->isConnected(); }));
  EXPECT_TRUE(idle.back()->isConnected());
  held.front().second->success(Value(1));
  ASSERT_TRUE(spinUntil(ctx, [&] { return waited; }));
}

TEST_F(SocketTransportTest, BadFramesCloseOnlyTheirConnection) {
  std::vector<std::string> closed;
  messenger->setConnectionClosedHook([&](const std::string& why) { closed.push_back(why); });
  auto good = connect();
  const std::vector<Bytes> garbage = {
      {0xff, 0xff, 0xff, 0x7f, 1},                                        // length over 16 MiB
      {0x05, 0, 0, 0, 9, 0, 0, 0, 0},                                     // unknown kind
      {0x02, 0, 0, 0, 1, 0},                                              // shorter than its header
      {0x0a, 0, 0, 0, 1, 1, 0, 0, 0, 0xff, 0x00, 'x', 'y', 'z'},          // name past the frame
      encodeFrame(Frame{Frame::kMessage, 7, "test/echo", {0x0f, 0x00}}),  // bad codec bytes
  };
  for (size_t i = 0; i < garbage.size(); ++i) {
    auto bad = connect();
    bool badClosed = false;
    bad->setClosedHandler([&](const std::string&) { badClosed = true; });
    bad->sendRaw(garbage[i]);
    ASSERT_TRUE(spinUntil(ctx, [&] { return badClosed; })) << "garbage #" << i;
    EXPECT_EQ(ask(*good, "test/echo", "fail").error.code, "bad_args") << "garbage #" << i;
  }
  EXPECT_EQ(closed.size(), garbage.size());

  // A frame cut off by the peer's close is dropped without harm.
  Bytes frame = encodeFrame(Frame{Frame::kMessage, 9, "test/echo",
                                  StandardMethodCodec::encodeMethodCall({"echo", Value("x")})});
  frame.resize(frame.size() - 3);
  connect()->sendRaw(frame);
  ASSERT_TRUE(spinUntil(ctx, [&] { return closed.size() == garbage.size() + 1; }));
  EXPECT_TRUE(held.empty());
  EXPECT_EQ(ask(*good, "test/echo", "fail").error.code, "bad_args");
}

TEST_F(SocketTransportTest, ALiveHostIsNotReplacedButAStaleSocketIs) {
  auto second = SocketHostMessenger::listen(path, ctx);
  ASSERT_FALSE(second.ok());
  EXPECT_NE(second.error().localizedDescription.find("already running"), std::string::npos);

  // A socket file whose host died (nobody accepts) is replaced. The messenger unlinks its
  // socket when released: a hard link keeps the file to put back.
  const std::string stale = dir.path() + "/stale/host.sock", keep = stale + ".keep";
  {
    auto dead = SocketHostMessenger::listen(stale, ctx);
    ASSERT_TRUE(dead.ok());
    ASSERT_EQ(link(stale.c_str(), keep.c_str()), 0);
  }
  ASSERT_EQ(rename(keep.c_str(), stale.c_str()), 0);
  auto replaced = SocketHostMessenger::listen(stale, ctx);
  EXPECT_TRUE(replaced.ok()) << (replaced.ok() ? "" : replaced.error().localizedDescription);
}

}  // namespace
}  // namespace lumewell
