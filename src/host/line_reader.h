#pragma once
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Reads LF-terminated lines from a byte source in large blocks. A CR ending a line is
// dropped, as a text-mode stream would. Linear in the input, however long a line is.
class LineReader {
 public:
  // Waits for input and fills the buffer with what there is, at least one byte; 0 when the
  // input has ended or failed. It must not wait for more once it has a byte: a host waits
  // for the answer to each line.
  using Source = std::function<size_t(std::span<char>)>;

  explicit LineReader(Source source) : source_(std::move(source)), buffer_(1 << 16) {}

  // The next line, without its LF, valid until the next call. False when input has ended
  // (or failed) and no byte could be read.
  bool next(std::string_view& line);

 private:
  Source source_;
  std::vector<char> buffer_;
  std::string pending_;  // a line cut by a refill
  size_t begin_ = 0;
  size_t end_ = 0;
  bool ended_ = false;
};
