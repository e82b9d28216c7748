#include "host/line_reader.h"

#include <cstring>

bool LineReader::next(std::string_view& line) {
  // A line that lies whole in the buffer is handed out where it lies; only one cut by a
  // refill is gathered in pending_.
  pending_.clear();
  bool gotAny = false;
  for (;;) {
    if (begin_ < end_) {
      gotAny = true;
      const char* start = buffer_.data() + begin_;
      const void* lf = std::memchr(start, '\n', end_ - begin_);
      if (lf) {
        size_t len = static_cast<const char*>(lf) - start;
        begin_ += len + 1;
        if (pending_.empty()) {
          line = std::string_view(start, len);
        } else {
          pending_.append(start, len);
          line = pending_;
        }
        break;
      }
      pending_.append(start, end_ - begin_);
      begin_ = end_ = 0;
    }
    if (ended_) {
      if (!gotAny) return false;
      line = pending_;
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
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return true;
}
