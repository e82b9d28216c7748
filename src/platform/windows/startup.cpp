// Process start-up on Windows: the standard streams, the console code pages, the COM
// apartment and the executable's directory (the default adapter is adapter.cpp).
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/windows/objects.h"

namespace platform {

void prepareStandardStreams() {
  // The core ends every line with CR LF itself and drops a CR ending an input line, so the
  // wire format is the same on every backend. Text mode would turn its CR LF into CR CR LF.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // One write per event line, whatever its length (a data event is up to 5.5 KB); the core
  // flushes after each line. A closed pipe makes writes fail here, with no signal to catch.
  static char outBuffer[1 << 16];
  std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  static char errBuffer[1 << 14];
  std::setvbuf(stderr, errBuffer, _IOFBF, sizeof errBuffer);
}

size_t readStandardInput(std::span<char> buffer) {
  // _read on a pipe returns what the pipe holds; the stream is binary (see above).
  auto size = static_cast<unsigned>(std::min<size_t>(buffer.size(), 1u << 30));
  int n = _read(_fileno(stdin), buffer.data(), size);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

void setConsoleCodePages() {
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCP(CP_UTF8);
}

const char* backendName() {
  return "windows";
}

const char* backendKind() {
  return "windows";
}

void endProcess(int status) {
  // _Exit is ExitProcess, which tells every DLL the process detaches; the C runtime's DLL then
  // flushes its streams, taking the lock of one whose writer it has just killed mid-write on a
  // full pipe, and waits for ever. TerminateProcess tells no DLL.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  std::_Exit(status);
}

bool joinMultithreadedApartment() {
  return SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

std::filesystem::path executableDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    // A full buffer means the path was cut short (long paths reach 32767 characters).
    if (length < path.size()) {
      path.resize(length);
      return std::filesystem::path(path).parent_path();
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

}  // namespace platform
