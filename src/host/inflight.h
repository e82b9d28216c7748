#pragma once
// Commands under way whose one final event comes from their task or, first, from the adapter
// going away. Whoever claims the answer gives it; the other then stays silent.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/report.h"

class Operation {
 public:
  // `spelled` is the address as the command wrote it.
  Operation(std::string id, std::string spelled);

  const std::string id;       // the command's id as JSON text, or empty
  const std::string addr;     // the canonical form: protocol 2's events carry it
  const std::string spelled;  // the host's own text: protocol 1's events, the resolver, the log

  // Emits an event of this command unless its final event has been claimed: nothing of a
  // command follows its answer.
  bool emit(const Report& report);
  // Claims the right to give the final event; true for the one caller that gets it. Events
  // `emit` queues before the claim stay before the answer.
  bool claim();
  // Claims and, when this call won, writes the final event.
  bool finish(const Report& report);
  bool claimed();

 private:
  std::mutex lock_;  // held only to queue an event, never to write it
  bool claimed_ = false;
};
using OperationRef = std::shared_ptr<Operation>;

// The operations of one kind under way.
class InFlight {
 public:
  OperationRef start(std::string id, std::string spelled);
  // The task is over (answered or not).
  void end(const OperationRef& operation);
  std::vector<OperationRef> all();

 private:
  std::mutex lock_;
  std::vector<OperationRef> operations_;
};
