// A whole session of a host that never says hello, against a stored transcript: standard
// output byte for byte, CR LF included. Each step waits for its events before the next, so
// the bytes do not depend on timing.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e/wire.h"
#include "harness/bridge_process.h"

using harness::BridgeProcess;
using namespace std::chrono_literals;

namespace {

const std::string phone = "A4:50:46:12:34:56";
const std::string refusing = "A4:50:46:65:43:21";
const std::string unknown = "00:11:22:33:44:55";

std::string sessionWorld() {
  return wire::world({{phone,
                       "  name \"Robot Phone\"\n  pin \"482916\"\n  phone-send \"hello\"\n"
                       "  phone echo\n"},
                      {refusing, "  name \"Робот \\\"Б\\\"\"\n  pair-status 19\n"}});
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

TEST(Protocol1Transcript, AWholeSessionGivesTheStoredBytes) {
  BridgeProcess bridge({.world = sessionWorld()});
  auto step = [&](const std::string& command, const std::string& last) {
    if (!command.empty()) bridge.send(command);
    ASSERT_TRUE(bridge.waitEvent(last)) << "no " << last << " after " << command;
  };
  // A command that answers nothing: its silence is part of the transcript.
  auto quiet = [&](const std::string& command) {
    bridge.send(command);
    EXPECT_TRUE(bridge.drainEvents(300ms).empty()) << command;
  };

  step("", "\"ready\"");
  step(R"({"t":"scan","seconds":1})", "\"scan-done\"");
  quiet(R"({"t":"stop-scan"})");
  step(R"({"t":"pair","addr":")" + refusing + "\"}", "\"pair-result\"");
  step(R"({"t":"pair","addr":")" + unknown + "\"}", "\"pair-result\"");
  step(R"({"t":"pair","addr":")" + phone + "\"}", "\"pair-result\"");
  step(wire::connectCommand(unknown), "\"closed\"");
  step(wire::connectCommand(phone), "aGVsbG8=");
  step(wire::send("ABC"), "QUJD");
  const std::string binary("\x00\xff\r\n", 4);
  step(wire::send(binary), wire::base64(binary));
  quiet(R"({"t":"bogus","addr":")" + phone + "\"}");
  step(wire::disconnect, "\"closed\"");
  quiet(wire::send("late"));
  quiet(wire::disconnect);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);

  const auto stored = std::filesystem::path(__FILE__).parent_path() / "protocol1_session.txt";
  std::string actual = bridge.stdoutBytes();
  EXPECT_EQ(actual, readFile(stored)) << "this run's bytes: " << (bridge.dir() / "stdout.txt");
  if (actual != readFile(stored)) std::ofstream(bridge.dir() / "stdout.txt") << actual;
}

}  // namespace
