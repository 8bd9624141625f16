// The real SetupAPI installer under Wine, in a Wine prefix of its own (see fresh-wine-prefix),
// against a test INF of class MEDIA with the cable's hardware identifier and no driver binary.
//
// What Wine 8 does, and what these tests hold it to:
// - SetupDiGetINFClassW on a missing INF fails with ERROR_FILE_NOT_FOUND (2);
// - the first ensure_cable_device creates ROOT\MEDIA\nnnn, registers it, and
//   UpdateDriverForPlugAndPlayDevicesW succeeds with the reboot flag left FALSE and the device
//   given a driver key;
// - CM_Get_DevNode_Status on that device answers CR_SUCCESS with status 0 and problem 0: Wine
//   starts no driver for it, so without DN_STARTED the second call judges it not healthy and
//   installs nothing (on Windows a started cable is healthy and the second call succeeds);
// - a device registered without a driver (what a run killed between registration and driver
//   installation leaves) has no SPDRP_DRIVER (ERROR_INVALID_DATA), and the driver update installs
//   onto it.
// The installer takes the test builds' stand-in lock (Wine has no private namespaces).
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <gtest/gtest.h>

#include <vector>
#include <string>

#include "cable_installation.hpp"
#include "device_installer_win.hpp"
#include "install_lock_win.hpp"
#include "../test_folder.hpp"

namespace tamsel::setup {
namespace {

constexpr const char* TEST_INF =
    "[Version]\r\n"
    "Signature=\"$Windows NT$\"\r\n"
    "Class=MEDIA\r\n"
    "ClassGuid={4d36e96c-e325-11ce-bfc1-08002be10318}\r\n"
    "Provider=%Vendor%\r\n"
    "DriverVer=01/01/2026,1.0.0.0\r\n"
    "\r\n"
    "[Manufacturer]\r\n"
    "%Vendor%=Cable,NTamd64,NTarm64\r\n"
    "\r\n"
    "[Cable]\r\n"
    "%Device%=CableInstall,VBAudioVACWDM\r\n"
    "[Cable.NTamd64]\r\n"
    "%Device%=CableInstall,VBAudioVACWDM\r\n"
    "[Cable.NTarm64]\r\n"
    "%Device%=CableInstall,VBAudioVACWDM\r\n"
    "\r\n"
    "[CableInstall]\r\n"
    "\r\n"
    "[CableInstall.Services]\r\n"
    "AddService=,2\r\n"
    "\r\n"
    "[Strings]\r\n"
    "Vendor=\"Tamsel test\"\r\n"
    "Device=\"Tamsel test cable\"\r\n";

struct PresentCable {
    std::wstring instance_id;
    std::wstring driver_key;
    CONFIGRET status_result;
    ULONG status, problem;
};

// Every present MEDIA device that lists the cable's identifier, read straight from SetupAPI.
std::vector<PresentCable> present_cables() {
    const GUID media = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    std::vector<PresentCable> found;
    HDEVINFO set = SetupDiGetClassDevsW(&media, nullptr, nullptr, DIGCF_PRESENT);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE) return found;
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &record); ++i) {
        HardwareIdBuffer ids{};
        if (!SetupDiGetDeviceRegistryPropertyW(set, &record, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<PBYTE>(ids.data()), sizeof ids, nullptr)) {
            continue;
        }
        if (!hardware_ids_name_cable(ids)) continue;
        PresentCable cable{};
        wchar_t text[512] = {};
        if (SetupDiGetDeviceInstanceIdW(set, &record, text, 512, nullptr)) cable.instance_id = text;
        wchar_t driver[512] = {};
        if (SetupDiGetDeviceRegistryPropertyW(set, &record, SPDRP_DRIVER, nullptr, reinterpret_cast<PBYTE>(driver),
                                              sizeof driver - sizeof(wchar_t), nullptr)) {
            cable.driver_key = driver;
        }
        cable.status_result = CM_Get_DevNode_Status(&cable.status, &cable.problem, record.DevInst, 0);
        found.push_back(cable);
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

std::string outcome(const SetupResult& r) {
    if (!r) return r.error();
    return r->reboot_required ? "ok, reboot" : "ok";
}

TEST(WindowsDeviceInstaller, MissingInfFailsBeforeAnyDevice) {
    const test::TestFolder folder;
    const std::size_t before = present_cables().size();
    const auto lock = win::make_installation_lock();
    win::WindowsDeviceInstaller installer(*lock);
    EXPECT_EQ(outcome(ensure_cable_device(folder.path(), installer)), "read signed INF: Windows error 2");
    EXPECT_EQ(present_cables().size(), before);
}

TEST(WindowsDeviceInstaller, FirstCallInstallsSecondJudgesTheDevice) {
    ASSERT_TRUE(present_cables().empty()) << "the prefix must start without a cable device";
    const test::TestFolder folder;
    folder.write("vbMmeCable64_win10.inf", TEST_INF);

    {
        const auto lock = win::make_installation_lock();
        win::WindowsDeviceInstaller installer(*lock);
        EXPECT_EQ(outcome(ensure_cable_device(folder.path(), installer)), "ok") << "Wine leaves the reboot flag FALSE";
    }
    const auto installed = present_cables();
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_EQ(installed[0].instance_id.rfind(L"ROOT\\MEDIA\\", 0), 0u) << "a generated root device id";
    EXPECT_FALSE(installed[0].driver_key.empty()) << "the update gave the device its driver";
    EXPECT_EQ(installed[0].status_result, static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(installed[0].status & DN_STARTED, 0u) << "Wine starts no driver for the test device";

    {
        const auto lock = win::make_installation_lock();
        win::WindowsDeviceInstaller installer(*lock);
        EXPECT_EQ(outcome(ensure_cable_device(folder.path(), installer)), std::string(UNHEALTHY_CABLE_MESSAGE));
    }
    const auto after = present_cables();
    ASSERT_EQ(after.size(), 1u) << "the second call installs nothing";
    EXPECT_EQ(after[0].instance_id, installed[0].instance_id);
    EXPECT_EQ(after[0].driver_key, installed[0].driver_key);
}

// What a run killed between registering the device and installing its driver leaves behind: a
// registered root device with the cable's hardware identifier and no driver.
std::wstring register_driverless_cable() {
    const GUID media = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    const HDEVINFO set = SetupDiCreateDeviceInfoList(&media, nullptr);
    if (set == INVALID_HANDLE_VALUE) return {};
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    const wchar_t ids[] = L"VBAudioVACWDM\0";
    std::wstring instance;
    if (SetupDiCreateDeviceInfoW(set, L"MEDIA", &media, nullptr, nullptr, DICD_GENERATE_ID, &record) &&
        SetupDiSetDeviceRegistryPropertyW(set, &record, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids),
                                          sizeof ids) &&
        SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &record)) {
        wchar_t text[512] = {};
        if (SetupDiGetDeviceInstanceIdW(set, &record, text, 512, nullptr)) instance = text;
    }
    SetupDiDestroyDeviceInfoList(set);
    return instance;
}

void remove_present_cables() {
    const GUID media = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    const HDEVINFO set = SetupDiGetClassDevsW(&media, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &record); ++i) {
        HardwareIdBuffer ids{};
        if (SetupDiGetDeviceRegistryPropertyW(set, &record, SPDRP_HARDWAREID, nullptr,
                                              reinterpret_cast<PBYTE>(ids.data()), sizeof ids, nullptr) &&
            hardware_ids_name_cable(ids)) {
            EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &record)) << GetLastError();
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

TEST(WindowsDeviceInstaller, DeviceLeftWithoutADriverGetsIt) {
    remove_present_cables();
    const std::wstring left = register_driverless_cable();
    ASSERT_FALSE(left.empty()) << GetLastError();
    const auto before = present_cables();
    ASSERT_EQ(before.size(), 1u);
    EXPECT_TRUE(before[0].driver_key.empty()) << "registered, no driver yet";

    const test::TestFolder folder;
    folder.write("vbMmeCable64_win10.inf", TEST_INF);
    {
        const auto lock = win::make_installation_lock();
        win::WindowsDeviceInstaller installer(*lock);
        EXPECT_EQ(outcome(ensure_cable_device(folder.path(), installer)), "ok");
    }
    const auto after = present_cables();
    ASSERT_EQ(after.size(), 1u) << "no second device";
    EXPECT_EQ(after[0].instance_id, left) << "the driver went onto the device that was there";
    EXPECT_FALSE(after[0].driver_key.empty()) << "the device has its driver now";
    remove_present_cables();
}

}  // namespace
}  // namespace tamsel::setup
