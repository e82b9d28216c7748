#include "pairing/known_devices.h"

#include <mutex>
#include <unordered_map>

namespace {

struct KnownDeviceIds {
  std::mutex lock;
  std::unordered_map<std::string, platform::String> ids;
};

// Never destroyed: watcher callbacks and completions may still run while the process ends.
KnownDeviceIds& knownDeviceIds() {
  static auto* table = new KnownDeviceIds;
  return *table;
}

}  // namespace

std::optional<platform::String> lookupKnownDeviceId(const std::string& key) {
  auto& table = knownDeviceIds();
  std::lock_guard guard(table.lock);
  auto it = table.ids.find(key);
  if (it == table.ids.end()) return std::nullopt;
  return it->second;
}

void storeKnownDeviceId(const std::string& key, const platform::String& id) {
  auto& table = knownDeviceIds();
  std::lock_guard guard(table.lock);
  table.ids.insert_or_assign(key, id);
}
