#pragma once
// A scripted DeviceInstaller for the installation rules. It logs every call, keeps the
// thread's "last error" the way Windows does (a failing call sets it, other calls may
// overwrite it), and checks the ownership of device information sets: every set opened is
// used only while open, destroyed exactly once, newest first. Every set is opened, used and
// destroyed while the installation lock is held, and the lock is let go after the last set.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_installer.hpp"

namespace tamsel::setup::test {

struct FakeDevice {
    std::u16string hardware_ids;  // copied to the start of the zeroed 2048-unit buffer
    bool ids_query_fails = false;
    std::uint32_t status_result = 0;  // CONFIGRET
    std::uint32_t status = 0x0000000A; // DN_STARTED | DN_DRIVER_LOADED-like flags
    std::uint32_t problem = 0;
    DriverKey driver_key = DriverKey::Present;
};

// Last-error values the fake leaves behind after calls that succeed, so a code read late
// shows up as the wrong number.
inline constexpr std::uint32_t NOISE_ERROR = 1168;  // ERROR_NOT_FOUND

class FakeDeviceInstaller final : public DeviceInstaller {
public:
    // Script.
    std::vector<FakeDevice> devices;
    std::optional<std::uint32_t> inf_class_error;
    std::optional<std::uint32_t> open_class_set_error;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> enumerate_error;  // index, code
    std::optional<std::uint32_t> create_list_error, create_device_error, set_ids_error, register_error;
    std::optional<std::uint32_t> update_error;
    std::uint32_t remove_error = 0xE0000219;  // the removal sets a code of its own
    bool update_reboot = false;
    std::u16string class_name = u"MEDIA";
    LockOutcome lock_outcome = LockOutcome::Acquired;
    std::uint32_t lock_error = 0;
    std::optional<std::uint32_t> seen_lock_timeout;

    // Observations.
    std::vector<std::string> calls;
    std::u16string seen_inf_path;
    std::u16string seen_multi_sz;
    std::u16string seen_update_id, seen_update_inf;

    ~FakeDeviceInstaller() override {
        EXPECT_TRUE(open_.empty()) << "device information sets left open: " << open_.size();
        EXPECT_FALSE(locked_) << "installation lock left held";
    }

    LockOutcome lock_installation(std::uint32_t timeout_ms) override {
        calls.push_back("lock");
        EXPECT_FALSE(locked_) << "lock taken twice";
        seen_lock_timeout = timeout_ms;
        if (lock_outcome == LockOutcome::Failed) {
            failed(lock_error);
        } else {
            succeeded();
        }
        locked_ = lock_outcome == LockOutcome::Acquired;
        return lock_outcome;
    }
    void unlock_installation() override {
        calls.push_back("unlock");
        EXPECT_TRUE(locked_) << "unlocking a lock that is not held";
        EXPECT_TRUE(open_.empty()) << "lock let go while a set is still open";
        locked_ = false;
        last_error_ = NOISE_ERROR;
    }

    bool read_inf_class(const std::u16string& inf_path, InfClass& out) override {
        calls.push_back("read_inf_class");
        seen_inf_path = inf_path;
        if (inf_class_error) return failed(*inf_class_error);
        out.guid = {0x6c, 0xe9, 0x6c, 0x4d, 0x25, 0xe3, 0xce, 0x11, 0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18};
        out.name = {};
        class_name.copy(out.name.data(), out.name.size() - 1);
        return succeeded();
    }
    std::optional<DeviceSet> open_class_set(const InfClass& inf_class) override {
        calls.push_back("open_class_set");
        check_class(inf_class);
        if (open_class_set_error) {
            failed(*open_class_set_error);
            return std::nullopt;
        }
        succeeded();
        return open_set(true);
    }
    bool enumerate_device(DeviceSet set, std::uint32_t index) override {
        calls.push_back("enumerate " + std::to_string(index));
        check_open(set, true);
        if (enumerate_error && enumerate_error->first == index) return failed(enumerate_error->second);
        if (index >= devices.size()) return failed(ERROR_NO_MORE_ITEMS_CODE);
        current_ = index;
        return succeeded();
    }
    bool read_hardware_ids(DeviceSet set, HardwareIdBuffer& buffer) override {
        calls.push_back("read_hardware_ids " + std::to_string(current_));
        check_open(set, true);
        for (const char16_t unit : buffer) EXPECT_EQ(unit, u'\0') << "property buffer not zero-filled";
        const FakeDevice& device = devices.at(current_);
        if (device.ids_query_fails) return failed(13);  // ERROR_INVALID_DATA
        EXPECT_LE(device.hardware_ids.size(), buffer.size());
        device.hardware_ids.copy(buffer.data(), buffer.size());
        return succeeded();
    }
    std::uint32_t node_status(DeviceSet set, std::uint32_t& status, std::uint32_t& problem) override {
        calls.push_back("node_status " + std::to_string(current_));
        check_open(set, true);
        const FakeDevice& device = devices.at(current_);
        status = device.status;
        problem = device.problem;
        return device.status_result;
    }
    DriverKey read_driver_key(DeviceSet set) override {
        calls.push_back("driver_key " + std::to_string(current_));
        check_open(set, true);
        last_error_ = NOISE_ERROR;
        return devices.at(current_).driver_key;
    }
    std::optional<DeviceSet> create_device_list(const InfClass& inf_class) override {
        calls.push_back("create_device_list");
        check_class(inf_class);
        if (create_list_error) {
            failed(*create_list_error);
            return std::nullopt;
        }
        succeeded();
        return open_set(false);
    }
    bool create_device(DeviceSet set, const InfClass& inf_class) override {
        calls.push_back("create_device");
        check_open(set, false);
        check_class(inf_class);
        if (create_device_error) return failed(*create_device_error);
        return succeeded();
    }
    bool set_hardware_ids(DeviceSet set, const char16_t* multi_sz, std::uint32_t units) override {
        calls.push_back("set_hardware_ids");
        check_open(set, false);
        seen_multi_sz.assign(multi_sz, units);
        if (set_ids_error) return failed(*set_ids_error);
        return succeeded();
    }
    bool call_class_installer(std::uint32_t function, DeviceSet set) override {
        check_open(set, false);
        if (function == DIF_REGISTERDEVICE_CODE) {
            calls.push_back("register");
            if (register_error) return failed(*register_error);
            return succeeded();
        }
        if (function == DIF_REMOVE_CODE) {
            calls.push_back("remove");
            return failed(remove_error);
        }
        ADD_FAILURE() << "unexpected class installer function " << function;
        return false;
    }
    bool update_driver(const std::u16string& hardware_id, const std::u16string& inf_path, bool& reboot) override {
        calls.push_back("update_driver");
        EXPECT_TRUE(locked_) << "driver update outside the installation lock";
        seen_update_id = hardware_id;
        seen_update_inf = inf_path;
        EXPECT_FALSE(reboot) << "reboot flag must start false";
        if (update_error) return failed(*update_error);
        reboot = update_reboot;
        return succeeded();
    }
    void destroy_set(DeviceSet set) override {
        calls.push_back(std::string("destroy ") + (set == class_set_ ? "class set" : "new set"));
        ASSERT_FALSE(open_.empty()) << "destroying a set that is not open";
        EXPECT_EQ(open_.back(), set) << "sets must be destroyed newest first";
        for (auto it = open_.begin(); it != open_.end(); ++it) {
            if (*it == set) {
                open_.erase(it);
                break;
            }
        }
        last_error_ = NOISE_ERROR;
    }
    std::uint32_t last_error() override { return last_error_; }

private:
    bool failed(std::uint32_t code) {
        last_error_ = code;
        return false;
    }
    bool succeeded() {
        last_error_ = NOISE_ERROR;
        return true;
    }
    DeviceSet open_set(bool is_class_set) {
        EXPECT_TRUE(locked_) << "device set opened outside the installation lock";
        const DeviceSet set = next_set_++;
        open_.push_back(set);
        (is_class_set ? class_set_ : new_set_) = set;
        return set;
    }
    void check_open(DeviceSet set, bool class_set) {
        EXPECT_TRUE(locked_) << "device call outside the installation lock";
        EXPECT_EQ(set, class_set ? class_set_ : new_set_) << "call on the wrong set";
        bool found = false;
        for (const DeviceSet s : open_) found = found || s == set;
        EXPECT_TRUE(found) << "call on a set that is not open";
    }
    void check_class(const InfClass& inf_class) {
        EXPECT_EQ(inf_class.guid[0], 0x6c) << "class GUID of the INF";
        EXPECT_EQ(std::u16string(inf_class.name.data()), class_name);
    }

    std::uint32_t last_error_ = 0;
    bool locked_ = false;
    std::vector<DeviceSet> open_;
    DeviceSet next_set_ = 0x1000;
    DeviceSet class_set_ = 0, new_set_ = 0;
    std::size_t current_ = 0;
};

}  // namespace tamsel::setup::test
