// The Windows backend's own pieces that need no radio: the text of a platform failure, UTF-16
// to UTF-8, projected asynchronous operations as the seam's Async, and delegates whose handler
// fails. Runs on Windows, and under wine (tests/wine/run_under_wine.sh); exit status 0 when
// every check holds.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "error_details.h"
#include "host/error_text.h"
#include "platform/task.h"
#include "platform/windows/async.h"

#include <winrt/Windows.Devices.Bluetooth.h>

namespace {

using platform::hresult_error;
using platform::String;
namespace wf = winrt::Windows::Foundation;

int failures = 0;

void check(bool ok, const char* what, int line) {
  if (ok) return;
  ++failures;
  std::printf("  FAIL line %d: %s\n", line, what);
}
#define CHECK(cond) check((cond), #cond, __LINE__)

template <typename A, typename B>
void checkEqual(const A& got, const B& want, const char* what, int line) {
  if (got == want) return;
  ++failures;
  std::printf("  FAIL line %d: %s\n", line, what);
}
#define CHECK_EQ(got, want) checkEqual((got), (want), #got " == " #want, __LINE__)

std::string hex(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  return out;
}

// ---- Error text ------------------------------------------------------------------------------

// A code with the customer bit set: no system has a message for it.
constexpr int32_t unknownCode = static_cast<int32_t>(0xA0001234);

void errorTextUsesMatchingDetailsAndElseTheSystemTable() {
  struct Case {
    const char* name;
    int32_t code;
    ErrorDetails* details;  // null: the failure carries none
    std::string want;
  };
  const int32_t fail = static_cast<int32_t>(0x80004005);
  const std::vector<Case> cases = {
      {"restricted description wins", fail,
       new ErrorDetails(L"описание", fail, L"Сбой \"радио\"\r\n"), "Сбой \"радио\" (0x80004005)"},
      {"description when there is no restricted one", fail,
       new ErrorDetails(L"Описание \t\r\n", fail, nullptr), "Описание (0x80004005)"},
      {"description when the restricted one is empty", fail, new ErrorDetails(L"d", fail, L""),
       "d (0x80004005)"},
      {"details of another code are ignored", unknownCode, new ErrorDetails(L"d", fail, L"r"),
       " (0xA0001234)"},
      {"details that do not answer are ignored", unknownCode,
       new ErrorDetails(L"d", unknownCode, L"r", false), " (0xA0001234)"},
      {"all white space becomes empty", fail, new ErrorDetails(L"x", fail, L" \r\n"),
       " (0x80004005)"},
      {"no details and no system message", unknownCode, nullptr, " (0xA0001234)"},
  };
  for (const auto& c : cases) {
    hresult_error error = c.details ? platform::platformError(failureWithDetails(c.code, c.details))
                                    : platform::platformError(c.code);
    CHECK_EQ(error.code, c.code);
    if (errorText(error) != c.want) {
      ++failures;
      std::printf("  FAIL %s: «%s»\n", c.name, errorText(error).c_str());
    }
  }
}

void systemMessagesLoseTheirLineEnd() {
  // E_OUTOFMEMORY: every system has a message for it, ending in CR LF.
  std::string text = errorText(platform::platformError(static_cast<int32_t>(0x8007000E)));
  std::printf("  E_OUTOFMEMORY: «%s»\n", text.c_str());
  CHECK(text.size() > std::string(" (0x8007000E)").size());
  CHECK(text.ends_with(" (0x8007000E)"));
  CHECK(text.find_first_of("\r\n") == std::string::npos);
  CHECK(text[0] != ' ');
  CHECK(text[text.size() - std::string(" (0x8007000E)").size() - 1] != ' ');
}

void toUtf8ReplacesUnpairedSurrogates() {
  struct Case {
    String text;
    std::string want;
  };
  const std::vector<Case> cases = {
      {u"", ""},
      {u"A", "A"},
      {u"я", "\xD1\x8F"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {String(1, char16_t(0xD83D)), "\xEF\xBF\xBD"},
      {String(u"a") + char16_t(0xDE00) + u"b",
       "a\xEF\xBF\xBD"
       "b"},
      {String(u"x") + char16_t(0xD800) + char16_t(0xD800), "x\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    std::string got = platform::toUtf8(c.text);
    if (got != c.want) {
      ++failures;
      std::printf("  FAIL toUtf8 gave %s, want %s\n", hex(got).c_str(), hex(c.want).c_str());
    }
  }
}

// ---- Asynchronous operations -----------------------------------------------------------------

// Operations made by the projection's own coroutines stand in for the platform's.
wf::IAsyncOperation<uint32_t> finishedValue(uint32_t value) {
  co_return value;
}

wf::IAsyncOperation<uint32_t> valueLater(uint32_t value, std::atomic<DWORD>* thread) {
  co_await winrt::resume_background();
  Sleep(50);
  *thread = GetCurrentThreadId();
  co_return value;
}

wf::IAsyncOperation<uint32_t> failureLater(int32_t code) {
  co_await winrt::resume_background();
  Sleep(50);
  throw winrt::hresult_error(code);
}

// Fails before its first wait, so it is already finished when the caller gets it.
wf::IAsyncOperation<uint32_t> failureAtOnce(int32_t code) {
  if (code < 0) throw winrt::hresult_error(code);
  co_return 0;
}

// Runs until `gate` opens; a Cancel meanwhile ends it as cancelled at its next wait.
wf::IAsyncAction actionBehind(HANDLE gate) {
  co_await winrt::resume_background();
  WaitForSingleObject(gate, INFINITE);
  co_await winrt::resume_background();
}

// What one awaiting coroutine saw.
struct Seen {
  std::optional<uint32_t> value;
  std::optional<hresult_error> error;
  std::atomic<int> resumptions{0};
  std::atomic<DWORD> thread{0};
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~Seen() { CloseHandle(done); }
  bool wait() { return WaitForSingleObject(done, 10000) == WAIT_OBJECT_0; }
};

platform::fire_and_forget awaitInto(platform::Async<uint32_t> op, Seen& seen) {
  try {
    seen.value = co_await op;
  } catch (const hresult_error& e) {
    seen.error = e;
  }
  seen.thread = GetCurrentThreadId();
  ++seen.resumptions;
  SetEvent(seen.done);
}

platform::fire_and_forget awaitActionInto(platform::Async<void> op, Seen& seen) {
  try {
    co_await op;
  } catch (const hresult_error& e) {
    seen.error = e;
  }
  seen.thread = GetCurrentThreadId();
  ++seen.resumptions;
  SetEvent(seen.done);
}

void aFinishedOperationCompletesAtOnceOnTheAwaitingThread() {
  Seen seen;
  awaitInto(platform::fromOperation<uint32_t>([] { return finishedValue(7); }), seen);
  CHECK_EQ(seen.resumptions.load(), 1);
  CHECK(seen.value == 7u);
  CHECK_EQ(seen.thread.load(), GetCurrentThreadId());
}

void aPendingOperationResumesOnceOnTheThreadThatCompletesIt() {
  Seen seen;
  std::atomic<DWORD> producer{0};
  // Nobody but the backend holds the operation while it runs.
  awaitInto(platform::fromOperation<uint32_t>([&] { return valueLater(9, &producer); }), seen);
  CHECK_EQ(seen.resumptions.load(), 0);
  CHECK(seen.wait());
  Sleep(100);
  CHECK_EQ(seen.resumptions.load(), 1);
  CHECK(seen.value == 9u);
  CHECK(seen.thread.load() != GetCurrentThreadId());
  CHECK_EQ(seen.thread.load(), producer.load());
}

void failedAndCancelledOperationsRaiseTheirCode() {
  struct Case {
    const char* name;
    std::function<wf::IAsyncOperation<uint32_t>()> start;
    int32_t code;
  };
  const int32_t denied = static_cast<int32_t>(0x80070005);
  const std::vector<Case> cases = {
      {"failed later", [&] { return failureLater(denied); }, denied},
      {"failed at once", [&] { return failureAtOnce(denied); }, denied},
  };
  for (const auto& c : cases) {
    Seen seen;
    awaitInto(platform::fromOperation<uint32_t>(c.start), seen);
    CHECK(seen.wait());
    if (!seen.error || seen.error->code != c.code || seen.value) {
      ++failures;
      std::printf("  FAIL %s\n", c.name);
    }
  }

  HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wf::IAsyncAction action = actionBehind(gate);
  Seen seen;
  awaitActionInto(platform::fromOperation<void>([&] { return action; }), seen);
  action.Cancel();
  SetEvent(gate);
  CHECK(seen.wait());
  CHECK(seen.error && seen.error->code == static_cast<int32_t>(0x800704C7));  // ERROR_CANCELLED
  CloseHandle(gate);
}

void anOperationThatCannotStartFailsAtOnce() {
  Seen seen;
  awaitInto(platform::fromOperation<uint32_t>([]() -> wf::IAsyncOperation<uint32_t> {
              throw winrt::hresult_error(static_cast<int32_t>(0x80040154));
            }),
            seen);
  CHECK_EQ(seen.resumptions.load(), 1);
  CHECK(seen.error && seen.error->code == static_cast<int32_t>(0x80040154));
}

void aResultThatCannotBeWrappedIsAFailureNotALostResumption() {
  Seen seen;
  std::atomic<DWORD> producer{0};
  awaitInto(platform::fromOperation<uint32_t>([&] { return valueLater(1, &producer); },
                                              [](uint32_t) -> uint32_t { throw std::bad_alloc(); }),
            seen);
  CHECK(seen.wait());
  CHECK(seen.error && seen.error->code == static_cast<int32_t>(0x8007000E));
}

void theStartUpProbeBlocksUntilTheOperationCompletes() {
  std::atomic<DWORD> producer{0};
  CHECK_EQ(platform::fromOperation<uint32_t>([&] { return valueLater(5, &producer); }).get(), 5u);
}

// ---- Handlers --------------------------------------------------------------------------------

// A delegate that fails may end the process on Windows: the core's failure stays inside.
void aFailingCoreHandlerNeverFailsItsDelegate() {
  const std::vector<int32_t> thrown = {static_cast<int32_t>(0x80070005), 1, 0};
  for (int32_t code : thrown) {
    bool ran = false;
    wf::TypedEventHandler<wf::IInspectable, wf::IInspectable> handler(
        [&](const wf::IInspectable&, const wf::IInspectable&) {
          platform::runCoreHandler([&] {
            ran = true;
            if (code) throw hresult_error{code, u"обработчик упал"};
          });
        });
    // The call goes through the delegate's ABI: a failure there would be thrown here.
    int32_t result = 0;
    try {
      handler(nullptr, nullptr);
    } catch (const winrt::hresult_error& e) {
      result = e.code();
    }
    if (!ran || result != 0) {
      ++failures;
      std::printf("  FAIL handler throwing 0x%08X: delegate result 0x%08X\n",
                  static_cast<unsigned>(code), static_cast<unsigned>(result));
    }
  }
}

// ---- The adapter, followed -------------------------------------------------------------------

// The stack double's entry point that changes its world as a control line does; null on Windows.
using Control = BOOL(__stdcall*)(const char*);
Control doubleControl() {
  auto factory =
      winrt::get_activation_factory<winrt::Windows::Devices::Bluetooth::BluetoothAdapter>();
  void* code = *static_cast<void**>(winrt::get_abi(factory));
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<LPCWSTR>(code), &module);
  return module ? reinterpret_cast<Control>(
                      reinterpret_cast<void*>(GetProcAddress(module, "QuintelStackControl")))
                : nullptr;
}

// Under the double, whose model tells its followers of a change before the control line is
// answered: the radio going off and the adapter going away reach the bridge by then, before
// anything in flight fails; an adapter plugged in is read afterwards.
void watchAdapterFollowsTheRadioAndTheAdapter() {
  using platform::AdapterState;
  Control control = doubleControl();
  if (!control) {
    std::printf("  skipped: not on the stack double\n");
    return;
  }
  std::mutex lock;
  std::vector<AdapterState> seen;
  auto now = platform::watchAdapter([&](AdapterState state) {
    std::lock_guard guard(lock);
    seen.push_back(state);
  });
  CHECK(now == AdapterState::on);
  auto last = [&] {
    std::lock_guard guard(lock);
    return seen.empty() ? now : seen.back();
  };
  struct Step {
    const char* line;
    AdapterState want;
    bool before;  // reported by the time the line is answered
  };
  const Step steps[] = {
      {"radio off", AdapterState::off, true},
      {"radio on", AdapterState::on, true},
      {"adapter remove", AdapterState::absent, true},
      {"adapter add", AdapterState::on, false},
      {"radio off", AdapterState::off, true},
      {"adapter remove", AdapterState::absent, true},
      {"adapter add", AdapterState::off, false},
      {"radio on", AdapterState::on, true},
  };
  size_t count = 0;
  for (const auto& step : steps) {
    CHECK(control(step.line));
    bool early = last() == step.want;
    for (int i = 0; i < 3000 && last() != step.want; ++i) Sleep(1);
    std::lock_guard guard(lock);
    ++count;
    if (seen.size() != count || seen.back() != step.want || (step.before && !early)) {
      ++failures;
      std::printf("  FAIL after «%s»: %zu reports, the last %d, early %d\n", step.line, seen.size(),
                  seen.empty() ? -1 : static_cast<int>(seen.back()), early);
      return;
    }
  }
}

}  // namespace

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
  struct Test {
    const char* name;
    void (*run)();
  };
  const Test tests[] = {
      {"error text uses matching details and else the system table",
       errorTextUsesMatchingDetailsAndElseTheSystemTable},
      {"system messages lose their line end", systemMessagesLoseTheirLineEnd},
      {"toUtf8 replaces unpaired surrogates", toUtf8ReplacesUnpairedSurrogates},
      {"a finished operation completes at once on the awaiting thread",
       aFinishedOperationCompletesAtOnceOnTheAwaitingThread},
      {"a pending operation resumes once on the thread that completes it",
       aPendingOperationResumesOnceOnTheThreadThatCompletesIt},
      {"failed and cancelled operations raise their code",
       failedAndCancelledOperationsRaiseTheirCode},
      {"an operation that cannot start fails at once", anOperationThatCannotStartFailsAtOnce},
      {"a result that cannot be wrapped is a failure, not a lost resumption",
       aResultThatCannotBeWrappedIsAFailureNotALostResumption},
      {"the start-up probe blocks until the operation completes",
       theStartUpProbeBlocksUntilTheOperationCompletes},
      {"a failing core handler never fails its delegate", aFailingCoreHandlerNeverFailsItsDelegate},
      {"watchAdapter follows the radio and the adapter", watchAdapterFollowsTheRadioAndTheAdapter},
  };
  for (const auto& test : tests) {
    int before = failures;
    test.run();
    std::printf("%s: %s\n", failures == before ? "ok" : "FAIL", test.name);
  }
  std::printf("%s\n",
              failures ? "windows backend: checks failed" : "windows backend: all checks passed");
  std::fflush(stdout);
  return failures ? 1 : 0;
}
