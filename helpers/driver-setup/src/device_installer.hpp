#pragma once
// The device-installation calls the cable installation needs (SetupAPI, the configuration
// manager's node status and the driver update), behind one interface so that the rules in
// cable_installation.cpp run without Windows.
//
// A device information set is an opaque handle. Each set carries one device record: for a set
// of present devices the record the last successful enumerate_device filled, for a new set the
// device that create_device made. Every set that open_class_set or create_device_list gives
// must be handed back to destroy_set exactly once.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "device_node.hpp"

namespace tamsel::setup {

// The INF's device class: its GUID (16 bytes as Windows lays them out) and its name, at most
// 128 UTF-16 units including the terminating NUL.
struct InfClass {
    std::array<std::uint8_t, 16> guid{};
    std::array<char16_t, 128> name{};
};

using DeviceSet = std::uintptr_t;

// Property buffer for SPDRP_HARDWAREID: 4096 bytes read as 2048 UTF-16 units.
using HardwareIdBuffer = std::array<char16_t, 2048>;

enum class LockOutcome { Acquired, TimedOut, Failed };

class DeviceInstaller {
public:
    virtual ~DeviceInstaller() = default;

    // Waits at most `timeout_ms` for the machine-wide installation lock (install_lock.hpp), so
    // one installation runs at a time. Failed leaves the last-error value set. Every Acquired
    // is matched by one unlock_installation.
    virtual LockOutcome lock_installation(std::uint32_t timeout_ms) = 0;
    virtual void unlock_installation() = 0;

    // SetupDiGetINFClassW with a NUL-terminated path and the 128-unit name buffer.
    virtual bool read_inf_class(const std::u16string& inf_path, InfClass& out) = 0;
    // SetupDiGetClassDevsW(class, no enumerator, no window, DIGCF_PRESENT).
    virtual std::optional<DeviceSet> open_class_set(const InfClass& inf_class) = 0;
    // SetupDiEnumDeviceInfo into the set's record.
    virtual bool enumerate_device(DeviceSet set, std::uint32_t index) = 0;
    // SetupDiGetDeviceRegistryPropertyW(SPDRP_HARDWAREID) of the set's record, 4096 bytes.
    virtual bool read_hardware_ids(DeviceSet set, HardwareIdBuffer& buffer) = 0;
    // CM_Get_DevNode_Status of the set's record's device instance; returns the CONFIGRET.
    virtual std::uint32_t node_status(DeviceSet set, std::uint32_t& status, std::uint32_t& problem) = 0;
    // SetupDiGetDeviceRegistryPropertyW(SPDRP_DRIVER) of the set's record: Absent when the
    // property does not exist (ERROR_INVALID_DATA), Unreadable for any other failure.
    virtual DriverKey read_driver_key(DeviceSet set) = 0;
    // SetupDiCreateDeviceInfoList(class, no window).
    virtual std::optional<DeviceSet> create_device_list(const InfClass& inf_class) = 0;
    // SetupDiCreateDeviceInfoW named after the class name, DICD_GENERATE_ID, into the set's record.
    virtual bool create_device(DeviceSet set, const InfClass& inf_class) = 0;
    // SetupDiSetDeviceRegistryPropertyW(SPDRP_HARDWAREID) with a REG_MULTI_SZ of `units` UTF-16 units.
    virtual bool set_hardware_ids(DeviceSet set, const char16_t* multi_sz, std::uint32_t units) = 0;
    // SetupDiCallClassInstaller(function, set, the set's record).
    virtual bool call_class_installer(std::uint32_t function, DeviceSet set) = 0;
    // UpdateDriverForPlugAndPlayDevicesW(no window, id, inf, flags 0, &reboot).
    virtual bool update_driver(const std::u16string& hardware_id, const std::u16string& inf_path, bool& reboot) = 0;
    // SetupDiDestroyDeviceInfoList.
    virtual void destroy_set(DeviceSet set) = 0;
    // GetLastError of the call just made.
    virtual std::uint32_t last_error() = 0;
};

inline constexpr std::uint32_t DIF_REMOVE_CODE = 0x05;
inline constexpr std::uint32_t DIF_REGISTERDEVICE_CODE = 0x19;
inline constexpr std::uint32_t ERROR_NO_MORE_ITEMS_CODE = 259;
inline constexpr std::uint32_t CR_SUCCESS_CODE = 0;

}  // namespace tamsel::setup
