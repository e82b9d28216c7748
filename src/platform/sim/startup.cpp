<<<<<<< HEAD
// The simulated radio's front-end for the bridge's own process: the standard streams, the
// stand-ins for the console code pages and the COM apartment, the executable's directory.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

=======
// Process start-up on the simulated radio: the stand-in for the COM apartment and the adapter.
// The standard streams and the executable's directory are src/platform/posix's.
>>>>>>> main
#include "platform/platform.h"
#include "platform/sim/runtime.h"

namespace platform {

<<<<<<< HEAD
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
=======
struct BluetoothAdapter {
  bool classic = true;
};

// Hosts written against the simulated radio already see "windows" here.
const char* backendName() {
  return "windows";
>>>>>>> main
}

// No apartment to join; the world is read here so that a broken world fails before start.
bool joinMultithreadedApartment() {
  sim::world();
  return true;
}

<<<<<<< HEAD
std::filesystem::path executableDirectory() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
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
=======
Async<Ref<BluetoothAdapter>> getDefaultAdapterAsync() {
  const auto& w = sim::world();
  sim::Fault fault = w.adapter == sim::AdapterKind::failing ? w.adapterError : sim::Fault();
  if (w.probeDelayMs == 0 && !fault) {
    if (w.adapter == sim::AdapterKind::absent) return Async<Ref<BluetoothAdapter>>::ready(nullptr);
    return Async<Ref<BluetoothAdapter>>::ready(
        std::make_shared<BluetoothAdapter>(BluetoothAdapter{w.classic}));
  }
  return sim::completeLater<Ref<BluetoothAdapter>>(w.probeDelayMs, fault, [&w] {
    return w.adapter == sim::AdapterKind::absent
               ? nullptr
               : std::make_shared<BluetoothAdapter>(BluetoothAdapter{w.classic});
  });
}

bool isClassicSupported(const Ref<BluetoothAdapter>& adapter) {
  return adapter->classic;
>>>>>>> main
}

}  // namespace platform
