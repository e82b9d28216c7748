#pragma once
#include <cstdio>
#include <string>
#include <vector>

// Reads LF-terminated lines from a stdio stream in large blocks. A CR ending a line is
// dropped, as a text-mode stream would. Linear in the input, however long a line is.
class LineReader {
 public:
  explicit LineReader(std::FILE* input) : input_(input), buffer_(1 << 16) {}

  // False when input has ended (or failed) and no byte could be read.
  bool next(std::string& line);

 private:
  std::FILE* input_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool ended_ = false;
};
