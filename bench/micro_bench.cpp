// Micro benchmarks of the helpers every event and command passes through, with OpenSSL's
// base64 as the codec's reference in the same run. Measures only; asserts nothing.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "connection/base64.h"
#include "host/command.h"
#include "host/events.h"

#ifdef BENCH_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

std::vector<uint8_t> randomBytes(size_t n) {
  std::mt19937 rng(12345);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

const std::string& sendLine() {
  static const std::string line =
      R"({"t":"send","b64":")" + base64Encode(randomBytes(3072)) + R"("})";
  return line;
}

void BM_parseCommand(benchmark::State& state, std::string line) {
  for (auto _ : state) {
    CommandFields fields = parseCommand(line);
    benchmark::DoNotOptimize(fields);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK_CAPTURE(BM_parseCommand, scan, std::string(R"({"t":"scan","seconds":8})"));
BENCHMARK_CAPTURE(BM_parseCommand, pair, std::string(R"({"t":"pair","addr":"A4:50:46:12:34:56"})"));
void BM_parseCommand_send4k(benchmark::State& state) {
  BM_parseCommand(state, sendLine());
}
BENCHMARK(BM_parseCommand_send4k);

// 4 KB of log-like text: mostly plain, a quote, a backslash or a line break now and then.
std::string escapeText4k() {
  std::string text;
  const std::string piece = "Robot arm \"left\" at C:\\robot\\arm: ok\tнорма\n";
  while (text.size() < 4096) text += piece;
  text.resize(4096);
  return text;
}

void BM_jsonEscape(benchmark::State& state, std::string text) {
  for (auto _ : state) {
    std::string out = jsonEscape(text);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BM_jsonEscape, deviceName, std::string("Galaxy A52 робота \"Квинтель\""));
BENCHMARK_CAPTURE(BM_jsonEscape, text4k, escapeText4k());

void BM_base64Encode(benchmark::State& state) {
  auto bytes = randomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text = base64Encode(bytes);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_base64Encode)->Arg(4096)->Arg(65536);

void BM_base64Decode(benchmark::State& state) {
  std::string text = base64Encode(randomBytes(static_cast<size_t>(state.range(0))));
  for (auto _ : state) {
    std::vector<uint8_t> bytes = base64Decode(text);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_base64Decode)->Arg(4096)->Arg(65536);

#ifdef BENCH_HAVE_OPENSSL
// The reference gets the same job: a fresh output buffer per call, as the bridge's codec makes.
void BM_EVP_EncodeBlock(benchmark::State& state) {
  auto bytes = randomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                            static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EVP_EncodeBlock)->Arg(4096)->Arg(65536);

void BM_EVP_DecodeBlock(benchmark::State& state) {
  std::string text = base64Encode(randomBytes(static_cast<size_t>(state.range(0))));
  for (auto _ : state) {
    std::vector<uint8_t> bytes(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    bytes.resize(static_cast<size_t>(n));
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EVP_DecodeBlock)->Arg(4096)->Arg(65536);
#endif

// Two threads emitting into /dev/null, with the bridge's 64 KB output buffer: the cost of
// outputLock plus one write and flush per line.
int savedStdout = -1;

void BM_emitEvent(benchmark::State& state, std::string text) {
  static char buffer[1 << 16];
  if (state.thread_index() == 0) {
    std::fflush(stdout);
    savedStdout = ::dup(STDOUT_FILENO);
    if (!std::freopen("/dev/null", "w", stdout)) state.SkipWithError("cannot open /dev/null");
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  }
  for (auto _ : state) emitEvent(text);
  if (state.thread_index() == 0) {
    std::fflush(stdout);
    ::dup2(savedStdout, STDOUT_FILENO);
    ::close(savedStdout);
    std::clearerr(stdout);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (text.size() + 2)));
}
BENCHMARK_CAPTURE(BM_emitEvent, connected,
                  std::string(R"({"t":"connected","addr":"A4:50:46:12:34:56"})"))
    ->Threads(2)
    ->UseRealTime();
void BM_emitEvent_data4k(benchmark::State& state) {
  BM_emitEvent(state, R"({"t":"data","b64":")" + base64Encode(randomBytes(4096)) + R"("})");
}
BENCHMARK(BM_emitEvent_data4k)->Threads(2)->UseRealTime();

// Keeps each benchmark's time per iteration (the median when repetitions are asked for)
// so the codec can be set against its reference after the run. Single-threaded runs count
// CPU time, which a busy machine disturbs less than wall time; threaded runs count wall time.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  explicit CollectingReporter(bool color) : ConsoleReporter(color ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      std::string name = run.run_name.str();
      if (median || !medians_.count(name)) {
        times_[name] = run.threads > 1 ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
        if (median) medians_[name] = true;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::map<std::string, double>& times() const { return times_; }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, bool> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  // Our own flag: where to write the summary (name value lines) for the suite's table.
  std::string summaryPath;
  std::vector<char*> args;
  bool color = ::isatty(STDOUT_FILENO) != 0;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--benchmark_color=", 18) == 0)
      color = std::strcmp(argv[i] + 18, "false") != 0;
    if (std::strncmp(argv[i], "--summary_out=", 14) == 0) {
      summaryPath = argv[i] + 14;
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  CollectingReporter reporter(color);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& times = reporter.times();
  std::string summary;
  char line[256];
  std::printf("\nbase64 against the OpenSSL reference (speed ratio: reference time / our time)\n");
  for (const char* op : {"Encode", "Decode"}) {
    for (const char* size : {"4096", "65536"}) {
      std::string ours = std::string("BM_base64") + op + "/" + size;
      std::string ref = std::string("BM_EVP_") + op + "Block/" + size;
      auto o = times.find(ours), r = times.find(ref);
      if (o == times.end()) continue;
      double bytes = std::stod(size);
      double ourMbps = bytes / o->second * 1e3;  // times are in ns
      std::snprintf(line, sizeof line, "base64%s_%s_MBps %.1f\n", op, size, ourMbps);
      summary += line;
      if (r == times.end()) {
        std::printf("  base64%s %6s B: %8.1f MB/s, no reference in this run\n", op, size, ourMbps);
        continue;
      }
      double ratio = r->second / o->second;
      std::printf("  base64%s %6s B: %8.1f MB/s, reference %8.1f MB/s, ratio %.2f\n", op, size,
                  ourMbps, bytes / r->second * 1e3, ratio);
      std::snprintf(line, sizeof line, "base64%s_%s_ref_MBps %.1f\nbase64%s_%s_ratio %.3f\n", op,
                    size, bytes / r->second * 1e3, op, size, ratio);
      summary += line;
    }
  }
  for (const auto& [name, ns] : times) {
    std::string key = name;
    for (char& c : key)
      if (c == '/' || c == ':') c = '_';
    std::snprintf(line, sizeof line, "ns_%s %.1f\n", key.c_str(), ns);
    summary += line;
  }
  if (!summaryPath.empty()) std::ofstream(summaryPath) << summary;
  return 0;
}
