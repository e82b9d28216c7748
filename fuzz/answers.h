#pragma once
// What protocol 2 promises about the answers to commands that carry an id, kept for the whole
// fuzzing run, since a session's tasks may still answer while the next session runs: every id
// an event carries is one a command carried, exactly as written; each command gets at most
// one final event and nothing with its id after it; and every command gets its final event
// soon after its session's input ends.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/command.h"
#include "host/report.h"

namespace answers {

// The ids of one session's commands, read as the bridge reads its lines.
struct Session {
  std::vector<std::string> ids;   // each command whose answers will carry its id (JSON text)
  std::vector<std::string> owed;  // those whose final event must come (see read)
  bool leavesProtocol2 = false;   // a hello switches to protocol 1 in it
};

// `start` is the protocol in force when the session begins. A command of protocol 2 answered
// after a switch to protocol 1 gets answers without id, so a session that switches to 1 owes
// only what follows its last such switch (and excuses what earlier sessions still owe).
inline Session read(std::string_view text, Protocol start) {
  Session session;
  bool second = start == Protocol::v2;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    CommandFields fields = parseCommand(line);
    CommandId id = readId(line);
    bool hello = fields["t"] == "hello";
    if (hello && id.status != IdStatus::invalid) {
      bool first = parseSeconds(fields["protocol"]) == 1;
      if (first && second) {
        session.leavesProtocol2 = true;
        session.owed.clear();
      }
      second = !first;
    }
    if (id.status != IdStatus::valid || (!hello && !second)) continue;
    session.ids.emplace_back(id.text);
    // The answer to a hello asking for protocol 1 is written in protocol 1 but still final.
    if (second) session.owed.emplace_back(id.text);
  }
  return session;
}

class Ledger {
 public:
  // Before the session runs.
  void expect(const Session& session) {
    std::lock_guard guard(lock_);
    if (session.leavesProtocol2) {
      for (auto& [id, count] : ids_) count.owed = 0;
      owed_ = 0;
    }
    for (const auto& id : session.ids) ++ids_[id].issued;
    for (const auto& id : session.owed) ++ids_[id].owed, ++owed_;
  }

  // An event with `id`, final or not; false when no command could have asked for it.
  bool answered(const std::string& id, bool final) {
    std::lock_guard guard(lock_);
    auto it = ids_.find(id);
    if (it == ids_.end()) return false;
    Count& count = it->second;
    if (!final) return count.finals < count.issued;
    if (++count.finals > count.issued) return false;
    if (count.owed > 0) {
      --count.owed;
      if (--owed_ == 0) settled_.notify_all();
    }
    // Every command with this id answered: any later event with it is a fault, which the
    // id's absence will tell.
    if (count.finals == count.issued) ids_.erase(it);
    return true;
  }

  // Waits until every final event owed has come; false after `patience`.
  bool settle(std::chrono::milliseconds patience) {
    std::unique_lock guard(lock_);
    return settled_.wait_for(guard, patience, [&] { return owed_ == 0; });
  }

 private:
  struct Count {
    uint64_t issued = 0, finals = 0, owed = 0;
  };
  std::mutex lock_;
  std::condition_variable settled_;
  std::unordered_map<std::string, Count> ids_;
  uint64_t owed_ = 0;
};

}  // namespace answers
