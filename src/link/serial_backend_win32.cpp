// The serial ports of Windows: the ports the serial drivers registered under
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, with the names and USB facts SetupAPI
// knows of them; opening one through the communications API.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>

#include "link/serial_backend.h"
#include "link/win32_serial_transport.h"

// After windows.h, which it needs.
#include <setupapi.h>

namespace flashmere {
namespace {

// The device class "Ports (COM & LPT)".
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The number of "COM12" (12), to sort by; other names after every COM port.
std::pair<unsigned long, std::string> sortKey(const std::string& name) {
    if (name.size() > 3 && (name.rfind("COM", 0) == 0 || name.rfind("com", 0) == 0) &&
        std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
        name.size() < 12) {
        return {std::stoul(name.substr(3)), {}};
    }
    return {ULONG_MAX, name};
}

// Port name to device name ("COM3" -> "\Device\Serial0"), as the drivers
// registered them.
std::map<std::string, std::string> registeredPorts() {
    std::map<std::string, std::string> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t valueName[256];
        DWORD nameLength = 256;
        wchar_t data[256] = {};
        DWORD dataBytes = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        const LONG status = RegEnumValueW(key, index, valueName, &nameLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status == ERROR_SUCCESS && type == REG_SZ) {
            ports[utf8FromWide(data)] = utf8FromWide({valueName, nameLength});
        }
    }
    RegCloseKey(key);
    return ports;
}

std::string deviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t text[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(text),
                                           sizeof text - sizeof(wchar_t), nullptr)) {
        return {};
    }
    return utf8FromWide(text);  // a multi-string's first entry
}

std::string portNameOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    const HKEY key =
        SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return {};
    }
    wchar_t name[256] = {};
    DWORD bytes = sizeof name - sizeof(wchar_t);
    DWORD type = 0;
    const bool ok = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                     reinterpret_cast<BYTE*>(name), &bytes) == ERROR_SUCCESS &&
                    type == REG_SZ;
    RegCloseKey(key);
    return ok ? utf8FromWide(name) : std::string();
}

// "USB\VID_0403&PID_6001\A50285BI": "0403:6001" and the serial number (a
// last part without '&'; Windows makes one up, with '&', when the device
// has none).
void readUsbFacts(const std::string& instanceId, SerialPortEntry& entry) {
    unsigned vid = 0;
    unsigned pid = 0;
    if (std::sscanf(instanceId.c_str(), "USB\\VID_%4x&PID_%4x", &vid, &pid) != 2) {
        return;
    }
    char id[16];
    std::snprintf(id, sizeof id, "%04x:%04x", vid, pid);
    entry.usbId = id;
    const auto slash = instanceId.rfind('\\');
    const std::string last = instanceId.substr(slash + 1);
    if (slash != std::string::npos && last.find('&') == std::string::npos) {
        entry.serialNumber = last;
    }
}

// The facts SetupAPI has of the present ports, by port name.
std::map<std::string, SerialPortEntry> describedPorts() {
    std::map<std::string, SerialPortEntry> ports;
    const HDEVINFO devices = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return ports;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        SerialPortEntry entry;
        entry.name = portNameOf(devices, device);
        if (entry.name.empty() || entry.name.rfind("LPT", 0) == 0) {  // printer ports
            continue;
        }
        entry.description = deviceProperty(devices, device, SPDRP_FRIENDLYNAME);
        if (entry.description.empty()) {
            entry.description = deviceProperty(devices, device, SPDRP_DEVICEDESC);
        }
        entry.manufacturer = deviceProperty(devices, device, SPDRP_MFG);
        wchar_t instanceId[512] = {};
        if (SetupDiGetDeviceInstanceIdW(devices, &device, instanceId, 511, nullptr)) {
            readUsbFacts(utf8FromWide(instanceId), entry);
        }
        ports[entry.name] = std::move(entry);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return ports;
}

}  // namespace

std::vector<SerialPortEntry> listSerialPorts() {
    std::map<std::string, SerialPortEntry> byName = describedPorts();
    for (const auto& [name, device] : registeredPorts()) {
        SerialPortEntry& entry = byName[name];
        entry.name = name;
        if (entry.description.empty()) {
            entry.description = device;
        }
    }
    std::vector<SerialPortEntry> ports;
    for (auto& [name, entry] : byName) {
        entry.path = win32PortOpenPath(name).value_or(name);
        ports.push_back(std::move(entry));
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortEntry& a, const SerialPortEntry& b) {
        return sortKey(a.name) < sortKey(b.name);
    });
    return ports;
}

std::vector<std::string> fallbackSerialPortNames() {
    std::vector<std::string> names;
    for (int i = 1; i <= 16; ++i) {
        names.push_back("COM" + std::to_string(i));
    }
    return names;
}

std::unique_ptr<Transport> openSerialPort(const std::string& portName,
                                          const std::string& modeString, TraceSink& trace,
                                          std::string* failure) {
    return Win32SerialTransport::open(portName, modeString, trace, failure);
}

}  // namespace flashmere
