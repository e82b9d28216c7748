#pragma once
// Standard output of the test process redirected to a file while a piece of work runs.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

// Runs `work` with file descriptor 1 pointing at a file; returns what reached the file.
template <typename Work>
std::string captureStdout(Work work) {
  std::string path = testing::TempDir() + "captured_stdout_" + std::to_string(getpid());
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
