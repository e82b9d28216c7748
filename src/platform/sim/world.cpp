#include "platform/sim/world.h"

#include "platform/sim/control.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

namespace sim {

const char* const defaultWorldText = R"(# The default world: one robot phone, unpaired, in range.
adapter present
classic yes
device A4:50:46:12:34:56
  name "Robot Phone"
  pairing pin
  pin "482916"
  pair-status 0
  services-cached 1
  phone echo
)";

namespace {

struct Parser {
  std::string line;
  size_t p = 0;
  std::string problem;

  void skipBlanks() {
    while (p < line.size() && (line[p] == ' ' || line[p] == '\t' || line[p] == '\r')) ++p;
  }
  bool atEnd() {
    skipBlanks();
    return p >= line.size() || line[p] == '#';
  }
  std::string word() {
    skipBlanks();
    size_t start = p;
    while (p < line.size() && line[p] != ' ' && line[p] != '\t' && line[p] != '\r') ++p;
    return line.substr(start, p - start);
  }
  bool fail(const std::string& what) {
    if (problem.empty()) problem = what;
    return false;
  }

  bool number(uint64_t& out) {
    std::string w = word();
    if (w.empty()) return fail("a number is missing");
    char* end = nullptr;
    out = std::strtoull(w.c_str(), &end, 0);
    if (*end) return fail("not a number: " + w);
    return true;
  }
  bool signedNumber(int32_t& out) {
    std::string w = word();
    if (w.empty()) return fail("a number is missing");
    char* end = nullptr;
    long long v = std::strtoll(w.c_str(), &end, 0);
    if (*end) return fail("not a number: " + w);
    out = static_cast<int32_t>(v);  // 0x80004005 and the like wrap to their signed code
    return true;
  }
  bool code(Fault& out) {
    int32_t v = 0;
    if (!signedNumber(v)) return false;
    out = v;
    return true;
  }
  bool milliseconds(uint32_t& out) {
    uint64_t v = 0;
    if (!number(v)) return false;
    out = static_cast<uint32_t>(v);
    return true;
  }
  bool yesNo(bool& out) {
    std::string w = word();
    if (w == "yes") return out = true, true;
    if (w == "no") return out = false, true;
    return fail("expected yes or no, got: " + w);
  }
  bool address(uint64_t& out) {
    std::string w = word();
    uint64_t v = 0;
    int digits = 0;
    for (char c : w) {
      int d = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                       : -1;
      if (d < 0) {
        if (c != ':') return fail("bad address: " + w);
        continue;
      }
      v = (v << 4) | static_cast<uint64_t>(d);
      ++digits;
    }
    if (digits != 12) return fail("an address has 12 hex digits: " + w);
    out = v;
    return true;
  }

  // A quoted string: the bytes of the file, with \" \\ \n \r \t \0 \xHH (a raw byte) and
  // \uXXXX (a UTF-16 code unit, lone surrogates allowed). Fills both forms.
  bool quoted(std::string* bytes, std::u16string* units) {
    skipBlanks();
    if (p >= line.size() || line[p] != '"') return fail("a quoted text is expected");
    ++p;
    std::string raw;
    std::u16string wide;
    auto hexValue = [&](size_t count, uint32_t& v) {
      v = 0;
      for (size_t i = 0; i < count; ++i) {
        if (p >= line.size()) return false;
        char c = line[p++];
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                         : -1;
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
      }
      return true;
    };
    while (true) {
      if (p >= line.size()) return fail("unterminated text");
      unsigned char c = static_cast<unsigned char>(line[p]);
      if (c == '"') {
        ++p;
        break;
      }
      if (c == '\\') {
        ++p;
        if (p >= line.size()) return fail("unterminated text");
        char e = line[p++];
        uint32_t v = 0;
        switch (e) {
          case 'n':
            raw += '\n', wide += u'\n';
            break;
          case 'r':
            raw += '\r', wide += u'\r';
            break;
          case 't':
            raw += '\t', wide += u'\t';
            break;
          case '0':
            raw += '\0', wide += u'\0';
            break;
          case 'x':
            if (!hexValue(2, v)) return fail("bad \\x escape");
            raw += static_cast<char>(v);
            wide += static_cast<char16_t>(v);
            break;
          case 'u':
            if (!hexValue(4, v)) return fail("bad \\u escape");
            wide += static_cast<char16_t>(v);
            if (v < 0x80) raw += static_cast<char>(v);
            break;
          default:
            raw += e, wide += static_cast<char16_t>(static_cast<unsigned char>(e));
        }
        continue;
      }
      // A UTF-8 sequence of the file: kept as bytes, decoded for the UTF-16 form.
      size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
      if (len == 0 || p + len > line.size()) {
        raw += static_cast<char>(c);
        wide += u'\xFFFD';
        ++p;
        continue;
      }
      uint32_t cp = len == 1 ? c : c & (0x7F >> len);
      for (size_t i = 1; i < len; ++i)
        cp = (cp << 6) | (static_cast<unsigned char>(line[p + i]) & 0x3F);
      raw.append(line, p, len);
      p += len;
      if (cp >= 0x10000) {
        cp -= 0x10000;
        wide += static_cast<char16_t>(0xD800 + (cp >> 10));
        wide += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      } else {
        wide += static_cast<char16_t>(cp);
      }
    }
    if (bytes) *bytes = std::move(raw);
    if (units) *units = std::move(wide);
    return true;
  }

  // A socket path: quoted, or one word.
  bool path(std::string& out, const char* usage) {
    skipBlanks();
    if (p < line.size() && line[p] == '"') return quoted(&out, nullptr);
    out = word();
    return !out.empty() || fail(usage);
  }

  // `error CODE` or a number.
  bool countOrError(uint32_t& count, Fault& error) {
    skipBlanks();
    size_t save = p;
    if (word() == "error") return code(error);
    p = save;
    return milliseconds(count);
  }

  bool topLevel(const std::string& key, World& w);
  bool deviceKey(const std::string& key, World& w, Device& d);
};

std::u16string defaultId(uint64_t local, uint64_t remote) {
  auto text = [](uint64_t a) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", unsigned(a >> 40 & 0xFF),
                  unsigned(a >> 32 & 0xFF), unsigned(a >> 24 & 0xFF), unsigned(a >> 16 & 0xFF),
                  unsigned(a >> 8 & 0xFF), unsigned(a & 0xFF));
    return std::string(buf);
  };
  std::string id = "Bluetooth#Bluetooth" + text(local) + "-" + text(remote);
  return std::u16string(id.begin(), id.end());
}

bool Parser::topLevel(const std::string& key, World& w) {
  if (key == "adapter") {
    std::string v = word();
    if (v == "present") return w.adapter = AdapterKind::present, true;
    if (v == "absent") return w.adapter = AdapterKind::absent, true;
    if (v == "error") return w.adapter = AdapterKind::failing, code(w.adapterError);
    return fail("adapter present, absent or error CODE");
  }
  if (key == "classic") return yesNo(w.classic);
  if (key == "radio") {
    std::string v = word();
    if (v == "on") return w.radioOn = true, true;
    if (v == "off") return w.radioOn = false, true;
    return fail("radio on or off");
  }
  if (key == "control") return path(w.controlPath, "control PATH");
  if (key == "page-timeout-ms") return milliseconds(w.pageTimeoutMs);
  if (key == "stack-restart-ms") return milliseconds(w.stackRestartMs);
  if (key == "probe-delay-ms") return milliseconds(w.probeDelayMs);
  if (key == "completions") {
    std::string v = word();
    if (v == "platform-thread") return w.completions = Completions::platformThread, true;
    if (v == "at-once") return w.completions = Completions::atOnce, true;
    if (v == "one-thread") return w.completions = Completions::oneThread, true;
    return fail("completions platform-thread, at-once or one-thread");
  }
  if (key == "inquiry-unit-ms") {
    std::string v = word();
    char* end = nullptr;
    w.inquiryUnitMs = std::strtod(v.c_str(), &end);
    if (v.empty() || *end || w.inquiryUnitMs < 0) return fail("bad inquiry unit: " + v);
    return true;
  }
  if (key == "local-address") return address(w.localAddress);
  if (key == "load-beyond") return milliseconds(w.loadBeyond);
  if (key == "message") {
    int32_t c = 0;
    std::u16string text;
    if (!signedNumber(c) || !quoted(nullptr, &text)) return false;
    w.messages[c] = text;
    return true;
  }
  if (key == "search-remembered-error") return code(w.rememberedSearchError);
  if (key == "search-inquiry-error") return code(w.inquirySearchError);
  if (key == "inquiry-order") {
    while (!atEnd()) {
      uint64_t a = 0;
      if (!address(a)) return false;
      w.inquiryOrder.push_back(a);
    }
    return true;
  }
  if (key == "selector-error") return code(w.selectorError);
  if (key == "watcher-create-error") return code(w.createWatcherError);
  if (key == "watcher-start-error") return code(w.startWatcherError);
  if (key == "watcher-handler-error") return code(w.addHandlerError);
  if (key == "watcher-status") {
    int32_t v = 0;
    if (!signedNumber(v)) return false;
    w.watcherStatus = v;
    return true;
  }
  if (key == "watcher-added-delay-ms") return milliseconds(w.watcherAddedDelayMs);
  if (key == "watcher-enumeration-delay-ms") return milliseconds(w.enumerationDelayMs);
  if (key == "watcher-enumeration") return yesNo(w.enumerationCompletes);
  if (key == "watcher-stop") {
    std::string v = word();
    if (v == "refuse-when-stopped") return w.stopAlwaysRefused = false, true;
    if (v == "refuse-always") return w.stopAlwaysRefused = true, true;
    return fail("watcher-stop refuse-when-stopped or refuse-always");
  }
  if (key == "watcher-stop-error") {
    Fault f;
    if (!code(f)) return false;
    w.stopRefusedCode = *f;
    return true;
  }
  return fail("unknown key: " + key);
}

bool Parser::deviceKey(const std::string& key, World& w, Device& d) {
  (void)w;
  if (key == "name") return quoted(nullptr, &d.name);
  if (key == "id") return quoted(nullptr, &d.id);
  if (key == "paired") {
    if (!yesNo(d.paired)) return false;
    if (d.paired) d.remembered = true;
    return true;
  }
  if (key == "remembered") return yesNo(d.remembered);
  if (key == "inquiry-authenticated") {
    skipBlanks();
    size_t save = p;
    std::string v = word();
    if (v == "yes") return d.inquiryAuthenticated = 1, true;
    if (v == "no") return d.inquiryAuthenticated = 0, true;
    p = save;
    int32_t n = 0;
    if (!signedNumber(n)) return false;
    d.inquiryAuthenticated = n;
    return true;
  }
  if (key == "heard") {
    uint64_t n = 0;
    if (!number(n)) return false;
    d.heard = static_cast<int>(n);
    return true;
  }
  if (key == "watcher") return yesNo(d.watcher);
  if (key == "in-range") return yesNo(d.inRange);
  if (key == "lookup") {
    std::string v = word();
    if (v == "found") return d.lookup = Device::Lookup::found, true;
    if (v == "unknown") return d.lookup = Device::Lookup::unknown, true;
    if (v == "no-record") return d.lookup = Device::Lookup::noRecord, true;
    if (v == "error") return code(d.lookupError);
    return fail("lookup found, unknown, no-record or error CODE");
  }
  if (key == "record" || key == "from-id") {
    bool& none = key == "record" ? d.recordNone : d.fromIdNone;
    Fault& error = key == "record" ? d.recordError : d.fromIdError;
    std::string v = word();
    if (v == "ok") return none = false, true;
    if (v == "none") return none = true, true;
    if (v == "error") return code(error);
    return fail(key + " ok, none or error CODE");
  }
  if (key == "record-pairing") {
    std::string v = word();
    if (v == "ok") return d.pairingNone = false, true;
    if (v == "none") return d.pairingNone = true, true;
    return fail("record-pairing ok or none");
  }
  if (key == "pairing") {
    skipBlanks();
    size_t save = p;
    std::string v = word();
    if (v == "confirm") return d.pairingKind = 1, true;
    if (v == "pin") return d.pairingKind = 8, true;
    if (v == "none") return d.pairingKind = 0, true;
    p = save;
    return signedNumber(d.pairingKind);
  }
  if (key == "pin") return quoted(nullptr, &d.pin);
  if (key == "pair-status") return signedNumber(d.pairStatus);
  if (key == "pair-error") return code(d.pairError);
  if (key == "accept-error") return code(d.acceptError);
  if (key == "pairing-read-error") return code(d.pairingReadError);
  if (key == "pair-delay-ms") return milliseconds(d.pairDelayMs);
  if (key == "services-cached") return countOrError(d.servicesCached, d.servicesCachedError);
  if (key == "services-uncached") return countOrError(d.servicesUncached, d.servicesUncachedError);
  if (key == "connect") {
    std::string v = word();
    if (v == "accept") return d.connectError.reset(), true;
    if (v == "refuse") return code(d.connectError);
    return fail("connect accept or refuse CODE");
  }
  if (key == "connect-delay-ms") return milliseconds(d.connectDelayMs);
  if (key == "output-stream-error") return code(d.outputStreamError);
  if (key == "writer-error") return code(d.writerError);
  if (key == "phone") {
    std::string v = word();
    if (v == "echo") return d.phone = PhoneMode::echo, true;
    if (v == "silent") return d.phone = PhoneMode::silent, true;
    if (v == "live") {
      d.phone = PhoneMode::live;
      return path(d.livePath, "phone live PATH");
    }
    return fail("phone echo, silent or live PATH");
  }
  if (key == "phone-send") {
    PhoneStep s{PhoneStep::send, {}, 0};
    if (!quoted(&s.bytes, nullptr)) return false;
    d.onConnect.push_back(std::move(s));
    return true;
  }
  if (key == "phone-burst" || key == "phone-wait") {
    PhoneStep s{key == "phone-burst" ? PhoneStep::burst : PhoneStep::wait, {}, 0};
    if (!number(s.count)) return false;
    d.onConnect.push_back(std::move(s));
    return true;
  }
  if (key == "phone-close") return d.onConnect.push_back({PhoneStep::close, {}, 0}), true;
  if (key == "phone-drop") return d.onConnect.push_back({PhoneStep::drop, {}, 0}), true;
  if (key == "close-after-bytes" || key == "drop-after-bytes") {
    uint64_t n = 0;
    if (!number(n)) return false;
    (key == "close-after-bytes" ? d.closeAfterBytes : d.dropAfterBytes) = n;
    return true;
  }
  if (key == "store-delay-ms") return milliseconds(d.storeDelayMs);
  if (key == "store-error") {
    if (!code(d.storeError)) return false;
    if (atEnd()) return true;
    if (word() != "after-bytes") return fail("store-error CODE [after-bytes N]");
    return number(d.storeErrorAfterBytes);
  }
  return fail("unknown device key: " + key);
}

const std::map<int32_t, std::u16string>& systemMessages() {
  static const auto* table = new std::map<int32_t, std::u16string>{
      {static_cast<int32_t>(0x80004005), u"Unspecified error\r\n"},
      {static_cast<int32_t>(0x80004004), u"Operation aborted\r\n"},
      {static_cast<int32_t>(0x80070005), u"Access is denied.\r\n"},
      {static_cast<int32_t>(0x80070032), u"The request is not supported.\r\n"},
      {static_cast<int32_t>(0x80070015), u"The device is not ready.\r\n"},
      {static_cast<int32_t>(0x8007001F),
       u"A device attached to the system is not functioning.\r\n"},
      {static_cast<int32_t>(0x80070079), u"The semaphore timeout period has expired.\r\n"},
      {static_cast<int32_t>(0x8007048F), u"The device is not connected.\r\n"},
      {static_cast<int32_t>(0x80070490), u"Element not found.\r\n"},
      {static_cast<int32_t>(0x800704C7), u"The operation was canceled by the user.\r\n"},
      {static_cast<int32_t>(0x8000000E), u"A method was called at an unexpected time.\r\n"},
      {static_cast<int32_t>(0x80040154), u"Class not registered\r\n"},
      {static_cast<int32_t>(0x80072742), u"A socket operation encountered a dead network.\r\n"},
      {static_cast<int32_t>(0x80072743),
       u"A socket operation was attempted to an unreachable network.\r\n"},
      {static_cast<int32_t>(0x80072745),
       u"An established connection was aborted by the software in your host machine.\r\n"},
      {static_cast<int32_t>(0x80072746),
       u"An existing connection was forcibly closed by the remote host.\r\n"},
      {static_cast<int32_t>(0x8007274C),
       u"A connection attempt failed because the connected party did not properly respond "
       u"after a period of time, or established connection failed because connected host has "
       u"failed to respond.\r\n"},
      {static_cast<int32_t>(0x8007274D),
       u"No connection could be made because the target machine actively refused it.\r\n"},
  };
  return *table;
}

std::mutex pairedLock;
std::set<uint64_t>& pairedAtRunTime() {
  static auto* set = new std::set<uint64_t>;
  return *set;
}

}  // namespace

const Device* World::find(uint64_t address) const {
  for (const auto& d : devices)
    if (d.address == address) return &d;
  return nullptr;
}

const Device* World::findById(const std::u16string& id) const {
  for (const auto& d : devices)
    if (d.id == id) return &d;
  return nullptr;
}

platform::hresult_error World::error(int32_t code) const {
  auto it = messages.find(code);
  return {code, it == messages.end() ? std::u16string() : it->second};
}

bool isPaired(const Device& device) {
  if (device.paired) return true;
  std::lock_guard lock(pairedLock);
  return pairedAtRunTime().count(device.address) > 0;
}

void markPaired(uint64_t address) {
  std::lock_guard lock(pairedLock);
  pairedAtRunTime().insert(address);
}

std::optional<World> parseWorld(const std::string& text, std::string& problem) {
  World w;
  w.messages = systemMessages();
  Parser parser;
  std::istringstream lines(text);
  int number = 0;
  Device* device = nullptr;
  std::set<std::string> deviceOnly;
  while (std::getline(lines, parser.line)) {
    ++number;
    parser.p = 0;
    parser.problem.clear();
    if (parser.atEnd()) continue;
    std::string key = parser.word();
    bool ok;
    if (key == "device") {
      Device d;
      ok = parser.address(d.address);
      if (ok) {
        w.devices.push_back(std::move(d));
        device = &w.devices.back();
      }
    } else if (key == "end") {
      device = nullptr;
      ok = true;
    } else if (device && key != "adapter" && key != "message") {
      Parser probe = parser;
      ok = parser.deviceKey(key, w, *device);
      if (!ok && parser.problem.rfind("unknown device key", 0) == 0) {
        parser = probe;
        ok = parser.topLevel(key, w);
      }
    } else {
      ok = parser.topLevel(key, w);
    }
    if (ok && !parser.atEnd()) ok = parser.fail("unexpected text after the value");
    if (!ok) {
      problem = "line " + std::to_string(number) + ": " + parser.problem;
      return std::nullopt;
    }
  }
  for (auto& d : w.devices)
    if (d.id.empty()) d.id = defaultId(w.localAddress, d.address);
  return w;
}

World& world() {
  static World* instance = [] {
    std::string text = defaultWorldText;
    const char* path = std::getenv("QUINTEL_BT_WORLD");
    std::string source = "the default world";
    if (path && *path) {
      std::ifstream file(path, std::ios::binary);
      if (!file) {
        std::fprintf(stderr, "simulated radio: cannot read world %s\n", path);
        std::fflush(stderr);
        std::_Exit(2);
      }
      std::ostringstream all;
      all << file.rdbuf();
      text = all.str();
      source = path;
    }
    std::string problem;
    auto parsed = parseWorld(text, problem);
    if (!parsed) {
      std::fprintf(stderr, "simulated radio: %s: %s\n", source.c_str(), problem.c_str());
      std::fflush(stderr);
      std::_Exit(2);
    }
    return new World(std::move(*parsed));
  }();
  // The channel is there from the start, before any operation can meet the world.
  static const bool controlled = [] {
    if (instance->controlPath.empty() || startControl(instance->controlPath)) return true;
    std::fprintf(stderr, "simulated radio: nobody listens on the control channel %s\n",
                 instance->controlPath.c_str());
    std::fflush(stderr);
    std::_Exit(2);
  }();
  (void)controlled;
  return *instance;
}

}  // namespace sim
