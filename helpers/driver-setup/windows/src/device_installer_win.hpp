#pragma once
// The device installer over the real SetupAPI, configuration manager and newdev calls.
#include <windows.h>
#include <setupapi.h>

#include <map>

#include "device_installer.hpp"
#include "install_lock.hpp"

namespace tamsel::setup::win {

class WindowsDeviceInstaller final : public DeviceInstaller {
public:
    // `lock` is the installation lock of lock_installation (install_lock_win.hpp).
    explicit WindowsDeviceInstaller(InstallLock& lock) : lock_(lock) {}
    WindowsDeviceInstaller(const WindowsDeviceInstaller&) = delete;
    WindowsDeviceInstaller& operator=(const WindowsDeviceInstaller&) = delete;
    // Destroys any set its user left open and lets go of the installation lock (neither is left,
    // when the rules are followed).
    ~WindowsDeviceInstaller() override;

    LockOutcome lock_installation(std::uint32_t timeout_ms) override;
    void unlock_installation() override;
    bool read_inf_class(const std::u16string& inf_path, InfClass& out) override;
    std::optional<DeviceSet> open_class_set(const InfClass& inf_class) override;
    bool enumerate_device(DeviceSet set, std::uint32_t index) override;
    bool read_hardware_ids(DeviceSet set, HardwareIdBuffer& buffer) override;
    std::uint32_t node_status(DeviceSet set, std::uint32_t& status, std::uint32_t& problem) override;
    DriverKey read_driver_key(DeviceSet set) override;
    std::optional<DeviceSet> create_device_list(const InfClass& inf_class) override;
    bool create_device(DeviceSet set, const InfClass& inf_class) override;
    bool set_hardware_ids(DeviceSet set, const char16_t* multi_sz, std::uint32_t units) override;
    bool call_class_installer(std::uint32_t function, DeviceSet set) override;
    bool update_driver(const std::u16string& hardware_id, const std::u16string& inf_path, bool& reboot) override;
    void destroy_set(DeviceSet set) override;
    std::uint32_t last_error() override;

private:
    // The one device record each open set carries.
    SP_DEVINFO_DATA* record_of(DeviceSet set);
    DeviceSet adopt(HDEVINFO handle);

    InstallLock& lock_;
    std::map<DeviceSet, SP_DEVINFO_DATA> records_;
};

}  // namespace tamsel::setup::win
