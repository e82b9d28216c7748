#include "host/bridge.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "host/adapter.h"
#include "host/dispatch.h"
#include "host/error_text.h"
#include "host/events.h"
#include "host/line_reader.h"
#include "host/log.h"
#include "platform/platform.h"

namespace {

void probeAdapter() {
  try {
    auto adapter = platform::getDefaultAdapterAsync().get();
    if (!adapter) {
      logLine("[start] ВНИМАНИЕ: адаптер Bluetooth не найден — эфир опрашивать нечем");
    } else {
      bool classic = platform::isClassicSupported(adapter);
      logLine(std::string("[start] адаптер найден, classic=") + (classic ? "да" : "нет"));
    }
  } catch (const hresult_error& e) {
    logLine("[start] не удалось опросить адаптер: " + errorText(e));
  }
}

}  // namespace

bool startBridge() {
  platform::prepareStandardStreams();
  platform::setConsoleCodePages();
  if (!platform::joinMultithreadedApartment()) return false;
  logLine("[start] посредник запущен");
  probeAdapter();
  followAdapter();
  logLine("[start] сборка " __DATE__ " " __TIME__);
  logLine("[start] журнал пишется в quintel-bt.log рядом с exe — перенаправлять вывод не нужно");
  emitEvent(std::string(R"({"t":"ready","backend":")") + platform::backendName() + R"("})");
  return true;
}

void endBridge() {
  // Lines queued or being written are let finish, so the host never gets half an event; a host
  // that does not read any more holds the end up for a few seconds at most. Nothing is flushed
  // here: every line was flushed as it was written, and a flush of all streams would wait for
  // a writer blocked on a pipe nobody reads.
  endEvents(std::chrono::seconds(2));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  std::unique_lock<std::timed_mutex> log(logLock, deadline);
  endLog(deadline);
  // Process-wide state is not torn down under the platform threads still using it.
  platform::endProcess(0);
}

namespace {

void runLoop(LineReader reader) {
  // Commands are carried out while the host is not reading events.
  neverWaitForOutput();
  std::string_view line;
  while (reader.next(line)) {
    if (!line.empty()) dispatch(line);
  }
  endOfInput();
}

}  // namespace

// Standard input is read in blocks straight from the platform: a stdio stream would hand it
// over one getc at a time, since fread waits for a whole block.
void commandLoop() {
  runLoop(LineReader(platform::readStandardInput));
}

void commandLoop(std::FILE* input) {
  runLoop(LineReader([input](std::span<char> buffer) {
    size_t n = 0;
    for (int c; n < buffer.size() && (c = std::getc(input)) != EOF;) {
      buffer[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    return n;
  }));
}
