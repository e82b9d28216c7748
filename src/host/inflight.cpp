#include "host/inflight.h"

#include <algorithm>

#include "host/command.h"
#include "host/events.h"

Operation::Operation(std::string id, std::string spelled)
    : id(std::move(id)), addr(deviceAddress(spelled)), spelled(std::move(spelled)) {}

bool Operation::emit(const Report& report) {
  {
    std::lock_guard guard(lock_);
    if (claimed_) return false;
    queueReport(report);
  }
  writeEvents();
  return true;
}

bool Operation::claim() {
  std::lock_guard guard(lock_);
  return !std::exchange(claimed_, true);
}

bool Operation::finish(const Report& report) {
  if (!claim()) return false;
  ::report(report);
  return true;
}

bool Operation::claimed() {
  std::lock_guard guard(lock_);
  return claimed_;
}

OperationRef InFlight::start(std::string id, std::string spelled) {
  auto operation = std::make_shared<Operation>(std::move(id), std::move(spelled));
  std::lock_guard guard(lock_);
  operations_.push_back(operation);
  return operation;
}

void InFlight::end(const OperationRef& operation) {
  std::lock_guard guard(lock_);
  std::erase(operations_, operation);
}

std::vector<OperationRef> InFlight::all() {
  std::lock_guard guard(lock_);
  return operations_;
}
