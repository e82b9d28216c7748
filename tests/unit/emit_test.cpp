// emitEvent under concurrent use: standard output redirected to a file while two threads emit.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/events.h"

namespace {

// Lengths from 0 to about 6 KB, so that many lines are longer than the stream's buffer and a
// line cut by another thread's write would show.
std::string eventText(int thread, int i) {
  return "{\"t\":\"data\",\"thread\":" + std::to_string(thread) + ",\"i\":" + std::to_string(i) +
         ",\"pad\":\"" + std::string(static_cast<size_t>(i * 37 % 6000), char('a' + thread)) +
         "\"}";
}

// Runs `work` with file descriptor 1 pointing at a file; returns what reached the file.
template <typename Work>
std::string captureStdout(Work work) {
  std::string path = testing::TempDir() + "emit_test_stdout_" + std::to_string(getpid());
  std::fflush(stdout);
  int saved = dup(1);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (saved < 0 || fd < 0) return "cannot redirect standard output";
  dup2(fd, 1);
  close(fd);
  work();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::ifstream file(path, std::ios::binary);
  std::ostringstream all;
  all << file.rdbuf();
  std::remove(path.c_str());
  return all.str();
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

}  // namespace
