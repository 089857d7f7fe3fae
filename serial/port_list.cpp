// The platform-neutral part of the port list: names, lookups, the slow-adapter note, and the
// Windows listing's merge of its two sources (plain text work, so it is tested everywhere).
#include "serial/port_list.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

namespace {

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// The components of an instance id: ENUMERATOR\DEVICE\INSTANCE.
std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

// The adapter's serial number where the instance id carries it. Windows makes up an instance
// part with '&' in it for a USB device without one, which is no serial number.
std::string SerialNumberOf(std::string_view instance_id)
{
    const std::vector<std::string_view> parts = Split(instance_id, '\\');
    if (parts.size() < 3)
        return {};
    if (EqualNoCase(parts[0], "USB"))
        return parts[2].find('&') == std::string_view::npos ? std::string(parts[2]) : std::string();
    if (EqualNoCase(parts[0], "FTDIBUS")) {
        const std::vector<std::string_view> fields = Split(parts[1], '+');
        return fields.size() >= 3 ? std::string(fields[2]) : std::string();
    }
    return {};
}

PortInfo& EntryFor(std::map<std::uint32_t, PortInfo>& ports, std::uint32_t number)
{
    PortInfo& info = ports[number];
    if (info.name.empty()) {
        info.name = ComName(number);
        info.device_path = "\\\\.\\" + info.name;
    }
    return info;
}

} // namespace

std::optional<std::uint16_t> HexIdAfter(std::string_view id, std::string_view key)
{
    for (std::size_t at = 0; at + key.size() + 4 <= id.size(); ++at) {
        if (!EqualNoCase(id.substr(at, key.size()), key))
            continue;
        std::uint16_t value = 0;
        for (std::size_t i = at + key.size(); i < at + key.size() + 4; ++i) {
            const int c = std::tolower(static_cast<unsigned char>(id[i]));
            if (!std::isxdigit(c))
                return std::nullopt;
            value = static_cast<std::uint16_t>(value * 16 + (std::isdigit(c) ? c - '0' : c - 'a' + 10));
        }
        return value;
    }
    return std::nullopt;
}

std::vector<std::uint32_t> ComCandidates(std::uint32_t first)
{
    constexpr std::uint32_t kWrapTo = 2;
    constexpr std::uint32_t kLast = 255;
    constexpr int kCount = 254;
    std::vector<std::uint32_t> numbers;
    numbers.reserve(kCount);
    std::uint32_t n = first;
    for (int i = 0; i < kCount; ++i, n = n < kLast ? n + 1 : kWrapTo)
        numbers.push_back(n);
    return numbers;
}

std::string PortListSignature(const std::vector<PortInfo>& ports)
{
    std::vector<std::string> entries;
    for (const PortInfo& port : ports)
        entries.push_back(port.name + "=" + port.device_path);
    std::sort(entries.begin(), entries.end());
    std::string text;
    for (const std::string& entry : entries)
        text += entry + "\n";
    return text;
}

std::string ComName(std::uint32_t number) { return "COM" + std::to_string(number); }

std::optional<std::uint32_t> ComNumberOf(std::string_view name)
{
    if (name.substr(0, 4) == "\\\\.\\")
        name.remove_prefix(4);
    if (name.size() < 4 || !StartsWithNoCase(name, "COM"))
        return std::nullopt;
    std::uint32_t n = 0;
    for (const char c : name.substr(3)) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || n > 100000)
            return std::nullopt;
        n = n * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return n;
}

const PortInfo* FindPort(const std::vector<PortInfo>& ports, const std::string& port)
{
    if (const std::optional<std::uint32_t> number = ComNumberOf(port)) {
        for (const PortInfo& info : ports)
            if (ComNumberOf(info.name) == number)
                return &info;
        return nullptr;
    }
    for (const PortInfo& info : ports)
        if (info.name == port || info.device_path == port)
            return &info;
    if (port.empty() || port[0] != '/')
        return nullptr;
    std::error_code error;
    const std::filesystem::path target = std::filesystem::canonical(port, error);
    if (error)
        return nullptr;
    for (const PortInfo& info : ports) {
        const std::filesystem::path candidate = std::filesystem::canonical(info.device_path, error);
        if (!error && candidate == target)
            return &info;
    }
    return nullptr;
}

std::optional<std::uint32_t> SlowAdapterLatency(const PortInfo& port, LowLatency request)
{
    if (request == LowLatency::on || !port.latency_timer_ms || *port.latency_timer_ms <= kSlowLatencyAboveMs)
        return std::nullopt;
    return port.latency_timer_ms;
}

std::string SlowAdapterLine(const std::string& port_name, std::uint32_t latency_ms, LatencyAdvice advice)
{
    std::string line = "QBKorvane: " + port_name + ": the adapter's latency timer is " +
                       std::to_string(latency_ms) + " ms; at 1 ms updates run faster (";
    if (advice == LatencyAdvice::device_manager) {
        line += "Device Manager, Ports, " + port_name + ", Port Settings, Advanced)";
    } else {
        const std::size_t slash = port_name.rfind('/');
        const std::string node = slash == std::string::npos ? port_name : port_name.substr(slash + 1);
        line += "as root: echo 1 > /sys/bus/usb-serial/devices/" + node + "/latency_timer)";
    }
    return line;
}

std::vector<PortInfo> MergeComPorts(const std::vector<SerialCommEntry>& serialcomm,
                                    const std::vector<ComDeviceRecord>& devices)
{
    std::map<std::uint32_t, PortInfo> ports;
    for (const SerialCommEntry& entry : serialcomm) {
        const std::optional<std::uint32_t> number = ComNumberOf(entry.port);
        if (!number)
            continue;
        PortInfo& info = EntryFor(ports, *number);
        if (StartsWithNoCase(entry.device, "\\Device\\BthModem"))
            info.bluetooth = true;
    }
    for (const ComDeviceRecord& device : devices) {
        const std::optional<std::uint32_t> number = ComNumberOf(device.port);
        if (!number)
            continue;
        PortInfo& info = EntryFor(ports, *number);
        const std::string_view enumerator = Split(device.instance_id, '\\').front();
        if (EqualNoCase(enumerator, "BTHENUM"))
            info.bluetooth = true;
        for (const std::string* id : {&device.hardware_id, &device.instance_id}) {
            const std::optional<std::uint16_t> vendor = HexIdAfter(*id, "VID_");
            const std::optional<std::uint16_t> product = HexIdAfter(*id, "PID_");
            if (vendor && product) {
                info.usb_vendor_id = vendor;
                info.usb_product_id = product;
                break;
            }
        }
        info.serial_number = SerialNumberOf(device.instance_id);
        info.driver = device.service;
        // Only the FTDI driver's key holds the adapter's own timer under this name.
        if (EqualNoCase(enumerator, "FTDIBUS"))
            info.latency_timer_ms = device.latency_timer_ms;
    }
    std::vector<PortInfo> list;
    list.reserve(ports.size());
    for (auto& [number, info] : ports)
        list.push_back(std::move(info));
    return list;
}
