// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
//
// Port names and the serial devices present, as Windows knows them: COMn names in the
// device map, described by the device manager where it has them.
#include "device/portaccess.h"
#include "device/portname.h"
#include "wintext.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cwchar>
#include <map>
#include <set>

namespace {

// The numbers a port-number text can name.
constexpr int HighestPortNumber = 32767;

// The device manager's class of serial and parallel ports.
constexpr GUID PortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

constexpr std::string_view DevicePrefix = "\\\\.\\";

// COMn's number, or 0 for any other name.
int comNumber(std::string_view name)
{
    if (name.size() < 4 || name.size() > 8)
        return 0;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return 0;
    }
    int number = 0;
    for (const char c : name.substr(3)) {
        if (c < '0' || c > '9')
            return 0;
        number = number * 10 + (c - '0');
    }
    return name[3] == '0' || number > HighestPortNumber ? 0 : number;
}

std::wstring registryText(HKEY key, const wchar_t *value)
{
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExW(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(key, value, nullptr, nullptr, reinterpret_cast<BYTE *>(text.data()),
                           &size) != ERROR_SUCCESS)
        return {};
    text.resize(std::wcslen(text.c_str()));
    return text;
}

// The COMn names in the device map: every serial port a driver has announced.
std::vector<std::string> deviceMapPorts()
{
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS)
        return names;
    for (DWORD index = 0;; ++index) {
        std::array<wchar_t, 256> valueName;
        DWORD nameLength = DWORD(valueName.size());
        std::array<wchar_t, 256> data;
        DWORD dataSize = DWORD(sizeof data) - sizeof(wchar_t);
        DWORD type = 0;
        const LONG result =
            ::RegEnumValueW(key, index, valueName.data(), &nameLength, nullptr, &type,
                            reinterpret_cast<BYTE *>(data.data()), &dataSize);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[dataSize / sizeof(wchar_t)] = L'\0';
        names.push_back(WinText::narrow(data.data()));
    }
    ::RegCloseKey(key);
    return names;
}

// The COMn names the system answers to right now, device map or not (a port Wine maps to a
// Unix device, a virtual port some drivers make).
std::vector<std::string> dosDevicePorts()
{
    std::vector<wchar_t> buffer(64 * 1024);
    const DWORD length = ::QueryDosDeviceW(nullptr, buffer.data(), DWORD(buffer.size()));
    std::vector<std::string> names;
    for (DWORD at = 0; at < length && buffer[at] != L'\0';) {
        const std::wstring name(&buffer[at]);
        at += DWORD(name.size()) + 1;
        if (comNumber(WinText::narrow(name)) > 0)
            names.push_back(WinText::narrow(name));
    }
    return names;
}

std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property)
{
    std::array<wchar_t, 512> buffer = {};
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type,
                                             reinterpret_cast<BYTE *>(buffer.data()),
                                             DWORD(sizeof buffer) - sizeof(wchar_t), nullptr) ||
        type != REG_SZ)
        return {};
    return WinText::narrow(buffer.data());
}

std::optional<std::uint16_t> hexAfter(const std::string &id, std::string_view key)
{
    const std::size_t at = id.find(key);
    if (at == std::string::npos || at + key.size() + 4 > id.size())
        return std::nullopt;
    const std::string digits = id.substr(at + key.size(), 4);
    if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    return std::uint16_t(std::stoul(digits, nullptr, 16));
}

// The USB device's own product string, as the bus reported it
// (DEVPKEY_Device_BusReportedDeviceDesc).
std::string busReportedDescription(HDEVINFO set, SP_DEVINFO_DATA &device)
{
    constexpr DEVPROPKEY BusReportedDeviceDesc = {
        {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};
    std::array<wchar_t, 512> buffer = {};
    DEVPROPTYPE type = 0;
    if (!::SetupDiGetDevicePropertyW(set, &device, &BusReportedDeviceDesc, &type,
                                     reinterpret_cast<BYTE *>(buffer.data()),
                                     DWORD(sizeof buffer) - sizeof(wchar_t), nullptr, 0) ||
        type != DEVPROP_TYPE_STRING)
        return {};
    return WinText::narrow(buffer.data());
}

std::string instanceId(DEVINST instance)
{
    std::array<wchar_t, MAX_DEVICE_ID_LEN + 1> id = {};
    if (::CM_Get_Device_IDW(instance, id.data(), ULONG(id.size()) - 1, 0) != CR_SUCCESS)
        return {};
    return WinText::narrow(id.data());
}

// USB\VID_2341&PID_0043\85736323838351F0F0A1: the serial number is the last part, unless the
// system made that up (it then has '&' in it).
std::string usbSerialNumber(const std::string &instance)
{
    if (instance.rfind("USB\\", 0) != 0)
        return {};
    const std::size_t last = instance.rfind('\\');
    const std::string serial = instance.substr(last + 1);
    return last > 3 && serial.find('&') == std::string::npos ? serial : std::string();
}

// What the device manager says of each port it has, by COMn name.
std::map<std::string, SerialDeviceInfo> describedPorts()
{
    std::map<std::string, SerialDeviceInfo> ports;
    HDEVINFO set = ::SetupDiGetClassDevsW(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return ports;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        const std::string name = WinText::narrow(registryText(key, L"PortName"));
        ::RegCloseKey(key);
        if (comNumber(name) == 0)
            continue; // a printer port
        SerialDeviceInfo info;
        info.portName = name;
        info.systemLocation = std::string(DevicePrefix) + name;
        info.description = deviceProperty(set, device, SPDRP_DEVICEDESC);
        if (info.description.empty())
            info.description = deviceProperty(set, device, SPDRP_FRIENDLYNAME);
        info.manufacturer = deviceProperty(set, device, SPDRP_MFG);
        info.product = busReportedDescription(set, device);
        const std::string instance = instanceId(device.DevInst);
        info.stablePath = instance;
        info.vendorId = hexAfter(instance, "VID_");
        info.productId = hexAfter(instance, "PID_");
        info.serialNumber = usbSerialNumber(instance);
        // One interface of a composite device (USB\VID_..&MI_00\...), or a port a vendor's
        // bus driver made (FTDIBUS\...): the serial number is the USB device's, above it. A
        // whole USB device without one must not take its hub's.
        const bool belowUsbDevice =
            instance.rfind("USB\\", 0) != 0 || instance.find("&MI_") != std::string::npos;
        DEVINST parent = 0;
        if (belowUsbDevice && ::CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS) {
            const std::string above = instanceId(parent);
            info.serialNumber = usbSerialNumber(above);
            if (!info.vendorId) {
                info.vendorId = hexAfter(above, "VID_");
                info.productId = hexAfter(above, "PID_");
            }
        }
        ports.emplace(name, info);
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return ports;
}

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

} // namespace

std::string systemPortName(int number, const std::string &)
{
    return number < 1 ? std::string() : "COM" + std::to_string(number);
}

std::string absolutePortName(const std::string &path)
{
    // \\.\COM12 and COM12 are one device; people know it by the short name.
    if (path.rfind(DevicePrefix, 0) == 0)
        return path.substr(DevicePrefix.size());
    return path;
}

std::vector<SerialDeviceInfo> serialDevices(const DeviceTree &)
{
    std::map<std::string, SerialDeviceInfo> described = describedPorts();
    std::set<std::string> seen;
    std::vector<SerialDeviceInfo> devices;
    const auto add = [&](const std::string &name) {
        if (!seen.insert(upper(name)).second)
            return;
        if (auto it = described.find(name); it != described.end()) {
            devices.push_back(it->second);
            return;
        }
        SerialDeviceInfo info;
        info.portName = name;
        info.systemLocation = std::string(DevicePrefix) + name;
        devices.push_back(info);
    };
    for (const std::string &name : deviceMapPorts())
        add(name);
    for (const auto &[name, info] : described)
        add(name);
    for (const std::string &name : dosDevicePorts())
        add(name);
    std::stable_sort(devices.begin(), devices.end(),
                     [](const SerialDeviceInfo &a, const SerialDeviceInfo &b) {
                         return comNumber(a.portName) < comNumber(b.portName);
                     });
    return devices;
}

std::vector<PortNumberEntry> portNumberEntries(const std::vector<SerialDeviceInfo> &devices,
                                               const std::string &)
{
    std::map<int, PortNumberEntry> numbered;
    std::vector<PortNumberEntry> others;
    for (const SerialDeviceInfo &device : devices) {
        PortNumberEntry entry;
        entry.number = comNumber(device.portName);
        entry.hardware = device;
        if (entry.number > 0 && !numbered.count(entry.number)) {
            entry.path = upper(device.portName);
            numbered.emplace(entry.number, entry);
        } else {
            entry.number = 0;
            entry.path = device.systemLocation.empty() ? device.portName : device.systemLocation;
            others.push_back(entry);
        }
    }
    std::vector<PortNumberEntry> entries;
    for (auto &[number, entry] : numbered)
        entries.push_back(std::move(entry));
    entries.insert(entries.end(), others.begin(), others.end());
    return entries;
}

std::optional<OpenRefusal> checkWithoutOpening(const std::string &path, const PortClaim::Options &)
{
    // Whether another program has the port open shows only by opening it: all there is to find
    // out beforehand is what a path that is a file is.
    OpenRefusal refusal;
    refusal.path = path;
    refusal.device = absolutePortName(path);
    const std::string &name = refusal.device;
    if (name.rfind("\\\\", 0) != 0 && name.find_first_of("\\/:") != std::string::npos) {
        const DWORD attributes = ::GetFileAttributesW(WinText::wide(name).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            refusal.failure = OpenFailure::NoSuchDevice;
            return refusal;
        }
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            refusal.failure = OpenFailure::NotSerial;
            refusal.detail = "directory";
            return refusal;
        }
        refusal.failure = OpenFailure::NotSerial;
        refusal.detail = "regular file";
        return refusal;
    }
    // A device name: the device map and QueryDosDevice do not know every port that opens (not
    // those Wine maps to a Unix device), so only the open can tell.
    return std::nullopt;
}
