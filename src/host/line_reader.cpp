#include "host/line_reader.h"

#include <cstring>

bool LineReader::next(std::string& line) {
  line.clear();
  bool gotAny = false;
  for (;;) {
    if (begin_ < end_) {
      gotAny = true;
      const char* start = buffer_.data() + begin_;
      const void* lf = std::memchr(start, '\n', end_ - begin_);
      if (lf) {
        size_t len = static_cast<const char*>(lf) - start;
        line.append(start, len);
        begin_ += len + 1;
        break;
      }
      line.append(start, end_ - begin_);
      begin_ = end_ = 0;
    }
    if (ended_) {
      if (!gotAny) return false;
      break;
    }
    size_t n = source_(buffer_);
    if (n == 0) {
      ended_ = true;
      continue;
    }
    begin_ = 0;
    end_ = n;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}
