#include "device_installer_win.hpp"

#include <cfgmgr32.h>
#include <newdev.h>

#include <cstring>

namespace tamsel::setup::win {

namespace {

static_assert(sizeof(GUID) == sizeof(InfClass{}.guid));
static_assert(sizeof(wchar_t) == sizeof(char16_t));

GUID guid_of(const InfClass& inf_class) {
    GUID guid{};
    std::memcpy(&guid, inf_class.guid.data(), sizeof guid);
    return guid;
}

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

HDEVINFO handle_of(DeviceSet set) { return reinterpret_cast<HDEVINFO>(set); }

SP_DEVINFO_DATA fresh_record() {
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    return record;
}

}  // namespace

WindowsDeviceInstaller::~WindowsDeviceInstaller() {
    for (const auto& entry : records_) SetupDiDestroyDeviceInfoList(handle_of(entry.first));
    unlock_installation();
}

LockOutcome WindowsDeviceInstaller::lock_installation(std::uint32_t timeout_ms) { return lock_.acquire(timeout_ms); }

void WindowsDeviceInstaller::unlock_installation() { lock_.release(); }

DeviceSet WindowsDeviceInstaller::adopt(HDEVINFO handle) {
    const auto set = reinterpret_cast<DeviceSet>(handle);
    records_[set] = fresh_record();
    return set;
}

SP_DEVINFO_DATA* WindowsDeviceInstaller::record_of(DeviceSet set) {
    const auto found = records_.find(set);
    if (found == records_.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &found->second;
}

bool WindowsDeviceInstaller::read_inf_class(const std::u16string& inf_path, InfClass& out) {
    GUID guid{};
    out.name.fill(u'\0');
    const BOOL done = SetupDiGetINFClassW(wide(inf_path.c_str()), &guid, reinterpret_cast<PWSTR>(out.name.data()),
                                          static_cast<DWORD>(out.name.size()), nullptr);
    if (!done) return false;
    std::memcpy(out.guid.data(), &guid, sizeof guid);
    return true;
}

std::optional<DeviceSet> WindowsDeviceInstaller::open_class_set(const InfClass& inf_class) {
    const GUID guid = guid_of(inf_class);
    const HDEVINFO handle = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    return adopt(handle);
}

bool WindowsDeviceInstaller::enumerate_device(DeviceSet set, std::uint32_t index) {
    SP_DEVINFO_DATA* record = record_of(set);
    if (!record) return false;
    *record = fresh_record();
    return SetupDiEnumDeviceInfo(handle_of(set), index, record) != FALSE;
}

bool WindowsDeviceInstaller::read_hardware_ids(DeviceSet set, HardwareIdBuffer& buffer) {
    SP_DEVINFO_DATA* record = record_of(set);
    if (!record) return false;
    return SetupDiGetDeviceRegistryPropertyW(handle_of(set), record, SPDRP_HARDWAREID, nullptr,
                                             reinterpret_cast<PBYTE>(buffer.data()),
                                             static_cast<DWORD>(buffer.size() * sizeof(char16_t)), nullptr) != FALSE;
}

std::uint32_t WindowsDeviceInstaller::node_status(DeviceSet set, std::uint32_t& status, std::uint32_t& problem) {
    SP_DEVINFO_DATA* record = record_of(set);
    if (!record) return CR_INVALID_DEVNODE;
    ULONG node_status = 0;
    ULONG node_problem = 0;
    const CONFIGRET result = CM_Get_DevNode_Status(&node_status, &node_problem, record->DevInst, 0);
    status = node_status;
    problem = node_problem;
    return result;
}

DriverKey WindowsDeviceInstaller::read_driver_key(DeviceSet set) {
    SP_DEVINFO_DATA* record = record_of(set);
    if (!record) return DriverKey::Unreadable;
    wchar_t key[256] = {};
    if (SetupDiGetDeviceRegistryPropertyW(handle_of(set), record, SPDRP_DRIVER, nullptr, reinterpret_cast<PBYTE>(key),
                                          sizeof key, nullptr)) {
        return DriverKey::Present;
    }
    return GetLastError() == ERROR_INVALID_DATA ? DriverKey::Absent : DriverKey::Unreadable;
}

std::optional<DeviceSet> WindowsDeviceInstaller::create_device_list(const InfClass& inf_class) {
    const GUID guid = guid_of(inf_class);
    const HDEVINFO handle = SetupDiCreateDeviceInfoList(&guid, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    return adopt(handle);
}

bool WindowsDeviceInstaller::create_device(DeviceSet set, const InfClass& inf_class) {
    SP_DEVINFO_DATA* record = record_of(set);
    if (!record) return false;
    const GUID guid = guid_of(inf_class);
    *record = fresh_record();
    return SetupDiCreateDeviceInfoW(handle_of(set), wide(inf_class.name.data()), &guid, nullptr, nullptr,
                                    DICD_GENERATE_ID, record) != FALSE;
}

bool WindowsDeviceInstaller::set_hardware_ids(DeviceSet set, const char16_t* multi_sz, std::uint32_t units) {
    SP_DEVINFO_DATA* record = record_of(set);
    if (!record) return false;
    return SetupDiSetDeviceRegistryPropertyW(handle_of(set), record, SPDRP_HARDWAREID,
                                             reinterpret_cast<const BYTE*>(multi_sz),
                                             static_cast<DWORD>(units * sizeof(char16_t))) != FALSE;
}

bool WindowsDeviceInstaller::call_class_installer(std::uint32_t function, DeviceSet set) {
    SP_DEVINFO_DATA* record = record_of(set);
    if (!record) return false;
    return SetupDiCallClassInstaller(static_cast<DI_FUNCTION>(function), handle_of(set), record) != FALSE;
}

bool WindowsDeviceInstaller::update_driver(const std::u16string& hardware_id, const std::u16string& inf_path,
                                           bool& reboot) {
    BOOL reboot_flag = FALSE;
    const BOOL done = UpdateDriverForPlugAndPlayDevicesW(nullptr, wide(hardware_id.c_str()), wide(inf_path.c_str()), 0,
                                                         &reboot_flag);
    if (!done) return false;
    reboot = reboot_flag != FALSE;
    return true;
}

void WindowsDeviceInstaller::destroy_set(DeviceSet set) {
    if (records_.erase(set) == 0) return;
    SetupDiDestroyDeviceInfoList(handle_of(set));
}

std::uint32_t WindowsDeviceInstaller::last_error() { return GetLastError(); }

}  // namespace tamsel::setup::win
