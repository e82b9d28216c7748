#include "platform/bluez/hci.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <iterator>

namespace bluez {

namespace {

// The kernel's struct hci_conn_info and hci_conn_list_req.
struct HciConnInfo {
  uint16_t handle;
  uint8_t bdaddr[6];
  uint8_t type;
  uint8_t out;
  uint16_t state;
  uint32_t linkMode;
};
struct HciConnListRequest {
  uint16_t devId;
  uint16_t count;
  HciConnInfo info[16];
};

constexpr int btprotoHci = 1;
constexpr uint8_t aclLink = 1;
constexpr uint16_t btConnected = 1;
constexpr unsigned long hciGetDevInfo = _IOR('H', 211, int);
constexpr unsigned long hciGetConnList = _IOR('H', 212, int);
constexpr uint32_t hciUp = 1u << 0, hciPageScan = 1u << 3;

// ioctl on a fresh HCI socket; false when either fails.
bool ask(unsigned long request, void* argument) {
  int fd = ::socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, btprotoHci);
  if (fd < 0) return false;
  int result = ::ioctl(fd, request, argument);
  ::close(fd);
  return result == 0;
}

}  // namespace

bool aclUp(int controller, uint64_t address) {
  HciConnListRequest request{};
  request.devId = static_cast<uint16_t>(controller);
  request.count = std::size(request.info);
  if (!ask(hciGetConnList, &request)) return true;
  for (size_t i = 0; i < request.count && i < std::size(request.info); ++i) {
    const auto& info = request.info[i];
    uint64_t peer = 0;
    for (int b = 5; b >= 0; --b) peer = peer << 8 | info.bdaddr[b];
    if (info.type == aclLink && peer == address) return info.state == btConnected;
  }
  return false;
}

bool controllerServing(int controller) {
  // struct hci_dev_info: dev_id first, the flags at byte 16.
  alignas(4) uint8_t info[128] = {};
  uint16_t id = static_cast<uint16_t>(controller);
  std::memcpy(info, &id, sizeof id);
  if (!ask(hciGetDevInfo, info)) return false;
  uint32_t flags;
  std::memcpy(&flags, info + 16, sizeof flags);
  return (flags & (hciUp | hciPageScan)) == (hciUp | hciPageScan);
}

}  // namespace bluez
