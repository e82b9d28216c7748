// Detection times on the simulated radio: for each fault the world's control channel can make,
// the time from the control line to the host's event that tells of it (protocol 2), over a
// number of runs: median and worst. Measures only; the exit status says whether every event
// came.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_process.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

const std::string phone = "A4:50:46:12:34:56";

// The control channel's listening end; the world connects at start.
class Control {
 public:
  explicit Control(const std::string& path) : path_(path) {
    ::unlink(path.c_str());
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_, 1) != 0)
      throw std::runtime_error("cannot listen on " + path);
  }
  ~Control() {
    if (fd_ >= 0) ::close(fd_);
    ::close(listen_);
    ::unlink(path_.c_str());
  }
  void send(const std::string& line) {
    if (fd_ < 0) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1) throw std::runtime_error("the world never connected");
      fd_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    std::string text = line + "\n";
    if (!writeAll(fd_, text.data(), text.size())) throw std::runtime_error("control lost");
  }
  // The world's answer to the last line.
  std::string answer() {
    std::string text;
    char c = 0;
    while (readSome(fd_, &c, 1, 10000) == 1 && c != '\n') text += c;
    return text;
  }

 private:
  std::string path_;
  int listen_ = -1;
  int fd_ = -1;
};

struct Session {
  Child child;
  LineInput lines{-1};
  Control& control;

  // Waits for an event containing `needle`; false after 10 s or at the end.
  bool await(const std::string& needle) {
    std::string_view line;
    while (lines.next(line, 10000))
      if (line.find(needle) != std::string_view::npos) return true;
    return false;
  }
  void command(const std::string& line) {
    std::string text = line + "\n";
    writeAll(child.in, text.data(), text.size());
  }
  // Milliseconds from the control line to the first event containing `needle`; -1 if none.
  double detect(const std::string& controlLine, const std::string& needle) {
    double start = now();
    control.send(controlLine);
    bool seen = await(needle);
    double ms = (now() - start) * 1000;
    if (control.answer() != "ok") return -1;
    return seen ? ms : -1;
  }
  bool connect() {
    command(R"({"t":"connect","addr":")" + phone + R"("})");
    return await(R"("t":"connected")");
  }
};

struct Figure {
  std::string fault, event;
  std::vector<double> ms;
};

}  // namespace

int main(int argc, char** argv) {
  int runs = 10;
  std::string bridge = BRIDGE_EXE;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--runs")
      runs = std::stoi(argv[i + 1]);
    else if (a == "--bridge")
      bridge = argv[i + 1];
  }
  fs::path dir = fs::temp_directory_path() / ("qbt-fault-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::path exe = dir / fs::path(bridge).filename();
  fs::copy_file(bridge, exe);
  Control control((dir / "control.sock").string());
  std::ofstream(dir / "world.txt") << "control " << (dir / "control.sock").string()
                                   << "\nstack-restart-ms 1000\ndevice " << phone << "\nend\n";

  Session s{spawnChild({exe.string()}, {"QUINTEL_BT_WORLD=" + (dir / "world.txt").string()}),
            LineInput(-1), control};
  s.lines = LineInput(s.child.out);
  bool ok = s.await("ready");
  s.command(R"({"t":"hello","protocol":2})");
  ok = ok && s.await("hello");

  std::vector<Figure> figures{
      {"phone off, link open", "closed LINK_LOST", {}},
      {"radio off, link open", "adapter off", {}},
      {"radio on", "adapter on", {}},
      {"adapter removed, link open", "adapter absent", {}},
      {"adapter added", "adapter on", {}},
      {"stack restarted, link open", "adapter absent", {}},
      {"stack restarted (1000 ms away)", "adapter on", {}},
  };
  auto record = [&](Figure& f, double ms) {
    if (ms < 0) ok = false;
    f.ms.push_back(ms);
  };
  for (int run = 0; ok && run < runs; ++run) {
    ok = s.connect();
    record(figures[0], s.detect("phone " + phone + " off", R"("code":"LINK_LOST")"));
    s.control.send("phone " + phone + " on");
    s.control.answer();
    ok = ok && s.connect();
    record(figures[1], s.detect("radio off", R"({"t":"adapter","state":"off"})"));
    record(figures[2], s.detect("radio on", R"({"t":"adapter","state":"on"})"));
    ok = ok && s.connect();
    record(figures[3], s.detect("adapter remove", R"({"t":"adapter","state":"absent"})"));
    record(figures[4], s.detect("adapter add", R"({"t":"adapter","state":"on"})"));
    ok = ok && s.connect();
    double start = now();
    record(figures[5], s.detect("stack restart", R"({"t":"adapter","state":"absent"})"));
    // The answer came once the stack was back; its event may have come before.
    bool back = s.await(R"({"t":"adapter","state":"on"})");
    record(figures[6], back ? (now() - start) * 1000 : -1);
  }
  int status = finishChild(s.child);

  std::printf("%-32s %-18s %10s %10s\n", "fault", "host's event", "median ms", "worst ms");
  for (auto& f : figures) {
    if (f.ms.empty()) continue;
    std::sort(f.ms.begin(), f.ms.end());
    std::printf("%-32s %-18s %10.2f %10.2f\n", f.fault.c_str(), f.event.c_str(),
                f.ms[f.ms.size() / 2], f.ms.back());
  }
  std::printf("runs: %d\n", runs);
  fs::remove_all(dir);
  return ok && status == 0 ? 0 : 1;
}
