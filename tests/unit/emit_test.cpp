// emitEvent under concurrent use: standard output redirected to a file while two threads emit.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/events.h"
#include "support/capture_stdout.h"

namespace {

// Lengths from 0 to about 6 KB, so that many lines are longer than the stream's buffer and a
// line cut by another thread's write would show.
std::string eventText(int thread, int i) {
  return "{\"t\":\"data\",\"thread\":" + std::to_string(thread) + ",\"i\":" + std::to_string(i) +
         ",\"pad\":\"" + std::string(static_cast<size_t>(i * 37 % 6000), char('a' + thread)) +
         "\"}";
}

TEST(EmitEvent, TwoThreadsOfTenThousandEventsGiveTwentyThousandWholeLines) {
  constexpr int perThread = 10000;
  std::string out = captureStdout([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
      threads.emplace_back([t] {
        for (int i = 0; i < perThread; ++i) emitEvent(eventText(t, i));
      });
    for (auto& thread : threads) thread.join();
  });

  std::vector<int> next(2, 0);
  size_t lines = 0, start = 0, expectedBytes = 0;
  while (start < out.size()) {
    size_t end = out.find("\r\n", start);
    ASSERT_NE(end, std::string::npos) << "the last line lacks CR LF";
    std::string line = out.substr(start, end - start);
    start = end + 2;
    ++lines;
    // Which thread wrote it, and the line that thread must have written next.
    int thread = line.rfind("{\"t\":\"data\",\"thread\":1,", 0) == 0 ? 1 : 0;
    ASSERT_LT(next[thread], perThread) << "an extra line: " << line.substr(0, 80);
    std::string expected = eventText(thread, next[thread]++);
    ASSERT_EQ(line, expected) << "line " << lines << " is cut or mixed";
    expectedBytes += expected.size() + 2;
  }
  EXPECT_EQ(lines, 2u * perThread);
  EXPECT_EQ(next, std::vector<int>({perThread, perThread}));
  EXPECT_EQ(out.size(), expectedBytes);
}

// The host stops reading: standard output is a full pipe and a platform thread is blocked
// writing its event. The command thread's events must not wait for it; once the host reads
// again, every line arrives whole and in order.
TEST(EmitEvent, TheCommandThreadGoesOnWhileAnotherThreadWaitsForTheHost) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  std::fflush(stdout);
  int saved = dup(1);
  dup2(pipeFds[1], 1);
  // Fill the pipe.
  fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);
  std::string filler(4096, 'x');
  size_t filled = 0;
  for (ssize_t n; (n = write(pipeFds[1], filler.data(), filler.size())) > 0;)
    filled += static_cast<size_t>(n);
  fcntl(pipeFds[1], F_SETFL, 0);

  std::thread platformThread([] { emitEvent(R"({"t":"data","b64":"QQ=="})"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // blocked in its write by now
  std::atomic<bool> commandsDone{false};
  std::thread commandThread([&] {
    neverWaitForOutput();
    emitEvent(R"({"t":"error","error":"one"})");
    emitEvent(R"({"t":"error","error":"two"})");
    commandsDone = true;
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (!commandsDone && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(commandsDone) << "the command thread waited for the host";

  // The host reads again.
  const std::string expected =
      "{\"t\":\"data\",\"b64\":\"QQ==\"}\r\n"
      "{\"t\":\"error\",\"error\":\"one\"}\r\n"
      "{\"t\":\"error\",\"error\":\"two\"}\r\n";
  std::string got;
  char buffer[65536];
  while (got.size() < filled + expected.size()) {
    ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  platformThread.join();
  commandThread.join();
  dup2(saved, 1);
  close(saved);
  close(pipeFds[0]);
  close(pipeFds[1]);
  EXPECT_EQ(got.substr(filled), expected);
}

}  // namespace
