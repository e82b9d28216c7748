// The start-up pieces every Linux backend shares: the standard streams, the executable's
// directory and the UTF-16 to UTF-8 conversion.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace platform {

void prepareStandardStreams() {
  // A host that closes its end of a pipe must not kill the bridge: writes fail instead.
  std::signal(SIGPIPE, SIG_IGN);
  // Nor a full disk (or a file-size limit) under the log: the write fails, the log goes quiet.
  std::signal(SIGXFSZ, SIG_IGN);
  // One write per event line, whatever its length (a data event is up to 5.5 KB).
  static char outBuffer[1 << 16];
  std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  static char errBuffer[1 << 14];
  std::setvbuf(stderr, errBuffer, _IOFBF, sizeof errBuffer);
}

size_t readStandardInput(std::span<char> buffer) {
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return 0;
  }
}

// There is no console code page to set on Linux: the streams are bytes already.
void setConsoleCodePages() {}

std::filesystem::path executableDirectory() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

void endProcess(int status) {
  std::_Exit(status);
}

std::string toUtf8(const String& text) {
  std::string out;
  out.reserve(text.size());
  auto put = [&](uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  };
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      put(0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      put(0xFFFD);
    } else {
      put(c);
    }
  }
  return out;
}

}  // namespace platform
