#pragma once
// The one seam between the bridge's core and the operating system's Bluetooth stack.
// Every backend (src/platform/<name>/) defines these functions and the object types declared
// here; exactly one backend is linked into each executable. Platform texts are UTF-16 here;
// the core converts them with toUtf8 where they enter. Every failure arrives as
// hresult_error. Objects are reference-counted: holding a Ref keeps one alive, and dropping
// the last Ref makes no other call on it (in particular no close).
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/async.h"
#include "platform/error.h"

namespace platform {

using String = std::u16string;
template <typename T>
using Ref = std::shared_ptr<T>;

// UTF-16 to UTF-8 as WideCharToMultiByte(CP_UTF8, 0, ...) does it: an unpaired surrogate
// becomes U+FFFD.
std::string toUtf8(const String& text);

// ---- Process start-up --------------------------------------------------------------------

// The backend's name as the ready event gives it to the host.
const char* backendName();
// The backend's own name, for a host that asks which one it talks to: "sim", "windows" or
// "bluez". (The simulated radio's ready event says "windows", as hosts written against it
// already expect.)
const char* backendKind();

// Standard streams carry bytes untranslated; the core writes CR LF itself. Also keeps a host
// that closes its end of a pipe from killing the process.
void prepareStandardStreams();
// Waits for standard input and takes what it has, up to buffer.size() bytes, without waiting
// for more once a byte is there; 0 at the end of input or on a failure.
size_t readStandardInput(std::span<char> buffer);
// SetConsoleOutputCP(65001), then SetConsoleCP(65001); results ignored.
void setConsoleCodePages();
// CoInitializeEx(nullptr, COINIT_MULTITHREADED); false when it fails.
bool joinMultithreadedApartment();
// The directory that holds the running executable (the log file lives there).
std::filesystem::path executableDirectory();
// Ends the process at once with `status`: no destructors, no flush of the C streams, no
// library's clean-up. Threads may still hold a stream's lock, blocked on a pipe nobody reads.
[[noreturn]] void endProcess(int status);

struct BluetoothAdapter;
// BluetoothAdapter.GetDefaultAsync: the default adapter, or null when there is none.
Async<Ref<BluetoothAdapter>> getDefaultAdapterAsync();
// BluetoothAdapter.IsClassicSupported.
bool isClassicSupported(const Ref<BluetoothAdapter>& adapter);

// ---- Adapter state -----------------------------------------------------------------------

// What the radio can do now: there is no adapter, there is one with its radio off, or it is on.
enum class AdapterState { absent, off, on };

// Starts following the default adapter (its radio switched off and on, the adapter removed
// and plugged back, possibly under another name, the Bluetooth service restarted) with the
// platform's own notifications, and returns its state now. Called once, after the adapter
// probe. `changed` runs on a platform thread with each new state: one call at a time, never
// the same state twice in a row, at any time from the start of this call on (even before it
// returns), concurrently with commands and with the completions of any operation; the
// operations the change fails may complete before or after it.
AdapterState watchAdapter(std::function<void(AdapterState)> changed);

// ---- Device watcher ----------------------------------------------------------------------

struct DeviceWatcher;
struct DeviceInformation;

// BluetoothDevice.GetDeviceSelectorFromPairingState.
String deviceSelectorFromPairingState(bool paired);
// DeviceInformation.CreateWatcher(selector, no additional properties, AssociationEndpoint).
Ref<DeviceWatcher> createWatcher(const String& selector);
// Handlers run on platform callback threads, from startWatcher on: Added for each device
// found, EnumerationCompleted once the devices there at the start are reported, Stopped when
// the watcher stops (asked to, or aborted when the adapter goes); nothing after Stopped. An
// hresult_error a handler throws is handed back to the platform as the handler's result.
// Registrations last as long as the watcher.
void addWatcherAdded(const Ref<DeviceWatcher>& watcher,
                     std::function<void(const Ref<DeviceInformation>&)> handler);
void addWatcherEnumerationCompleted(const Ref<DeviceWatcher>& watcher,
                                    std::function<void()> handler);
void addWatcherStopped(const Ref<DeviceWatcher>& watcher, std::function<void()> handler);
void startWatcher(const Ref<DeviceWatcher>& watcher);
// DeviceWatcherStatus: Created 0, Started 1, EnumerationCompleted 2, Stopping 3, Stopped 4,
// Aborted 5.
int32_t watcherStatus(const Ref<DeviceWatcher>& watcher);
// May refuse (for instance on a stopped watcher) with hresult_error.
void stopWatcher(const Ref<DeviceWatcher>& watcher);
// DeviceInformation.Id: accepted by createFromIdAsync and bluetoothDeviceFromIdAsync.
String deviceInformationId(const Ref<DeviceInformation>& info);

// ---- Classic device search (Win32 BluetoothFind*Device) ----------------------------------

// BLUETOOTH_DEVICE_SEARCH_PARAMS without dwSize and hRadio (all radios). BOOL fields.
struct DeviceSearchParams {
  int32_t returnAuthenticated = 0;
  int32_t returnRemembered = 0;
  int32_t returnUnknown = 0;
  int32_t returnConnected = 0;
  int32_t issueInquiry = 0;
  uint8_t timeoutMultiplier = 0;
};

// The fields of BLUETOOTH_DEVICE_INFO the core reads. `name` is szName up to its zero.
struct DeviceSearchInfo {
  uint64_t address = 0;
  int32_t authenticated = 0;
  String name;
};

struct DeviceSearch;
inline constexpr uint32_t errorNoMoreItems = 259;  // ERROR_NO_MORE_ITEMS

// BluetoothFindFirstDevice: fills `info` with the first device and returns a search handle,
// or returns null and sets the calling thread's last error. An inquiry search returns only
// after timeoutMultiplier inquiry units of 1.28 s.
DeviceSearch* findFirstDevice(const DeviceSearchParams& params, DeviceSearchInfo& info);
// BluetoothFindNextDevice: false at the end of the list (or on any failure).
bool findNextDevice(DeviceSearch* search, DeviceSearchInfo& info);
// BluetoothFindDeviceClose.
void findDeviceClose(DeviceSearch* search);
// GetLastError of the calling thread.
uint32_t lastError();

// ---- Devices and pairing -----------------------------------------------------------------

struct BluetoothDevice;
struct DeviceInformationPairing;
struct DeviceInformationCustomPairing;
struct DevicePairingRequestedEventArgs;
struct DevicePairingResult;

// BluetoothDevice.FromBluetoothAddressAsync: the device, or null when the platform has none.
Async<Ref<BluetoothDevice>> bluetoothDeviceFromAddressAsync(uint64_t address);
// BluetoothDevice.DeviceInformation: may be null.
Ref<DeviceInformation> bluetoothDeviceInformation(const Ref<BluetoothDevice>& device);
// DeviceInformation.CreateFromIdAsync: may complete with null.
Async<Ref<DeviceInformation>> createFromIdAsync(const String& id);
// DeviceInformation.Pairing, DeviceInformationPairing.IsPaired and .Custom.
Ref<DeviceInformationPairing> deviceInformationPairing(const Ref<DeviceInformation>& info);
bool pairingIsPaired(const Ref<DeviceInformationPairing>& pairing);
Ref<DeviceInformationCustomPairing> pairingCustom(const Ref<DeviceInformationPairing>& pairing);
// DeviceInformationCustomPairing.PairingRequested. The handler runs on a platform thread while
// pairAsync waits, never after it completes; an hresult_error it throws is handed back to the
// platform. The registration ends when the custom-pairing object is released.
void addPairingRequested(const Ref<DeviceInformationCustomPairing>& custom,
                         std::function<void(const Ref<DevicePairingRequestedEventArgs>&)> handler);
// DeviceInformationCustomPairing.PairAsync(kinds, minProtectionLevel).
Async<Ref<DevicePairingResult>> pairAsync(const Ref<DeviceInformationCustomPairing>& custom,
                                          uint32_t kinds, int32_t minProtectionLevel);
// DevicePairingResult.Status.
int32_t pairingResultStatus(const Ref<DevicePairingResult>& result);
// DevicePairingRequestedEventArgs.PairingKind, .Pin and .Accept() without a PIN.
int32_t pairingRequestKind(const Ref<DevicePairingRequestedEventArgs>& request);
String pairingRequestPin(const Ref<DevicePairingRequestedEventArgs>& request);
void acceptPairingRequest(const Ref<DevicePairingRequestedEventArgs>& request);

// ---- RFCOMM connection -------------------------------------------------------------------

struct RfcommServiceId;
struct RfcommDeviceServicesResult;
struct RfcommDeviceService;
struct HostName;
struct StreamSocket;
struct InputStream;
struct OutputStream;
struct DataReader;
struct DataWriter;

// BluetoothDevice.FromIdAsync: may complete with null.
Async<Ref<BluetoothDevice>> bluetoothDeviceFromIdAsync(const String& id);
// RfcommServiceId.SerialPort.
Ref<RfcommServiceId> rfcommSerialPortId();
// BluetoothDevice.GetRfcommServicesForIdAsync(serviceId): answered from the platform's cache.
Async<Ref<RfcommDeviceServicesResult>> getRfcommServicesForIdAsync(
    const Ref<BluetoothDevice>& device, const Ref<RfcommServiceId>& serviceId);
// The same with BluetoothCacheMode.Uncached (1): asks the device itself.
Async<Ref<RfcommDeviceServicesResult>> getRfcommServicesForIdUncachedAsync(
    const Ref<BluetoothDevice>& device, const Ref<RfcommServiceId>& serviceId);
// RfcommDeviceServicesResult.Services: its size and one element.
uint32_t servicesSize(const Ref<RfcommDeviceServicesResult>& result);
Ref<RfcommDeviceService> serviceAt(const Ref<RfcommDeviceServicesResult>& result, uint32_t index);
// RfcommDeviceService.ConnectionServiceName and .ConnectionHostName.
String connectionServiceName(const Ref<RfcommDeviceService>& service);
Ref<HostName> connectionHostName(const Ref<RfcommDeviceService>& service);
// new StreamSocket(); ConnectAsync(host, serviceName); OutputStream; InputStream; Close.
Ref<StreamSocket> newStreamSocket();
Async<void> connectAsync(const Ref<StreamSocket>& socket, const Ref<HostName>& host,
                         const String& serviceName);
Ref<OutputStream> socketOutputStream(const Ref<StreamSocket>& socket);
Ref<InputStream> socketInputStream(const Ref<StreamSocket>& socket);
// IClosable.Close: a pending load on the socket then ends; may fail.
void closeSocket(const Ref<StreamSocket>& socket);
// new DataReader(input); InputStreamOptions = Partial (1); LoadAsync(count); ReadBytes.
Ref<DataReader> newDataReader(const Ref<InputStream>& input);
void setInputStreamOptionsPartial(const Ref<DataReader>& reader);
// With Partial, completes as soon as 1..count bytes are there, or with 0 at the end of the
// stream.
Async<uint32_t> loadAsync(const Ref<DataReader>& reader, uint32_t count);
// Takes exactly out.size() loaded bytes.
void readBytes(const Ref<DataReader>& reader, std::span<uint8_t> out);
// new DataWriter(output); WriteBytes; StoreAsync (completes on a platform thread).
Ref<DataWriter> newDataWriter(const Ref<OutputStream>& output);
void writeBytes(const Ref<DataWriter>& writer, std::span<const uint8_t> bytes);
Async<uint32_t> storeAsync(const Ref<DataWriter>& writer);

}  // namespace platform
