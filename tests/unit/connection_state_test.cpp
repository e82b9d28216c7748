// The order of a connection's last events against the next connection's, whatever order the
// receive loops and the connects finish in.
#include <string>

#include <gtest/gtest.h>

#include "connection/connection_state.h"
#include "host/events.h"
#include "support/capture_stdout.h"

namespace {

const std::string closed = "{\"t\":\"closed\",\"reason\":\"соединение закрыто\"}\r\n";
const std::string connected = "{\"t\":\"connected\",\"addr\":\"B\"}\r\n";
const std::string data = "{\"t\":\"data\",\"b64\":\"QQ==\"}\r\n";

// The steps of doConnect, doDisconnect and the receive loop that decide the events, in the
// order a test gives; `a` and `b` are two connections to phones.
enum class Step { publishA, publishB, disconnect, endA, endB, dataA };

std::string run(std::initializer_list<Step> steps) {
  auto a = std::make_shared<Connection>();
  auto b = std::make_shared<Connection>();
  std::string out = captureStdout([&] {
    for (Step step : steps) switch (step) {
        case Step::publishA:
          publishConnection(a);
          break;
        case Step::publishB:
          publishConnection(b);
          emitEvent(R"({"t":"connected","addr":"B"})");
          break;
        case Step::disconnect:
          takeConnection();
          break;
        case Step::endA:
          endConnection(a);
          break;
        case Step::endB:
          endConnection(b);
          break;
        case Step::dataA:
          emitFor(*a, R"({"t":"data","b64":"QQ=="})");
          break;
      }
  });
  takeConnection();  // the state is process-wide: leave it empty for the next test
  endConnection(a);
  endConnection(b);
  return out;
}

struct Case {
  const char* name;
  std::initializer_list<Step> steps;
  std::string events;
};

TEST(ConnectionOrder, ClosedOfADisconnectedConnectionNeverFollowsTheNextConnected) {
  using enum Step;
  const Case cases[] = {
      {"loop ends before the next connect",
       {publishA, disconnect, endA, publishB},
       closed + connected},
      {"loop ends after the next connect",
       {publishA, disconnect, publishB, endA},
       closed + connected},
      {"late data of the disconnected phone",
       {publishA, disconnect, publishB, dataA, endA},
       closed + connected},
      {"data before the disconnect",
       {publishA, dataA, disconnect, publishB, endA},
       data + closed + connected},
      {"replaced without a disconnect ends quietly", {publishA, publishB, dataA, endA}, connected},
      {"the phone closes: one closed",
       {publishA, endA, publishB, endB},
       closed + connected + closed},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.steps), c.events) << c.name;
}

}  // namespace
