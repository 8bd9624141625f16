#include "cable_installation.hpp"

#include <optional>
#include <string>

#include "tamsel/audio/text.hpp"

namespace tamsel::setup {

namespace fs = std::filesystem;

namespace {

// Owns one device information set: destroyed when the owner goes out of scope, on every path.
class SetOwner {
public:
    SetOwner(DeviceInstaller& installer, DeviceSet set) : installer_(installer), set_(set) {}
    SetOwner(const SetOwner&) = delete;
    SetOwner& operator=(const SetOwner&) = delete;
    ~SetOwner() { installer_.destroy_set(set_); }
    DeviceSet get() const noexcept { return set_; }

private:
    DeviceInstaller& installer_;
    DeviceSet set_;
};

// Holds the installation lock while in scope.
class LockOwner {
public:
    explicit LockOwner(DeviceInstaller& installer) : installer_(installer) {}
    LockOwner(const LockOwner&) = delete;
    LockOwner& operator=(const LockOwner&) = delete;
    ~LockOwner() { installer_.unlock_installation(); }

private:
    DeviceInstaller& installer_;
};

Failure windows_failure(DeviceInstaller& installer, std::string_view context) {
    // Read at once: nothing may run between the failed call and this read.
    const std::uint32_t code = installer.last_error();
    return fail(windows_error(context, code));
}

// The index of the first device from `from` on in the class set that names the cable (the set's
// record is then that device), or none after the last one.
Result<std::optional<std::uint32_t>> find_cable(DeviceInstaller& installer, DeviceSet class_set, std::uint32_t from) {
    for (std::uint32_t index = from;; ++index) {
        if (!installer.enumerate_device(class_set, index)) {
            const std::uint32_t code = installer.last_error();
            if (code != ERROR_NO_MORE_ITEMS_CODE) return fail(windows_error("enumerate adapter", code));
            return std::optional<std::uint32_t>{};
        }
        HardwareIdBuffer ids{};
        // A device whose identifiers cannot be read is simply not the cable.
        if (!installer.read_hardware_ids(class_set, ids)) continue;
        if (hardware_ids_name_cable(ids)) return std::optional<std::uint32_t>{index};
    }
}

// The first cable device of the class, at `index` (the set's record): healthy, unhealthy with a
// driver (never touched), or without a driver, which then gets the one from `inf_path`.
SetupResult existing_cable(DeviceInstaller& installer, DeviceSet class_set, std::uint32_t index,
                           const std::u16string& inf_path) {
    std::uint32_t flags = 0;
    std::uint32_t problem = 0;
    const std::uint32_t result = installer.node_status(class_set, flags, problem);
    std::optional<NodeStatus> status;
    if (result == CR_SUCCESS_CODE) status = NodeStatus{flags, problem};
    if (status && started_and_healthy(*status)) return SetupSuccess{false};
    if (!driver_missing(installer.read_driver_key(class_set), status)) {
        return fail(std::string(UNHEALTHY_CABLE_MESSAGE));
    }

    // The driver update reaches every present device with the identifier: with another cable
    // device of the class, whose driver it could replace, it is not made.
    const auto another = find_cable(installer, class_set, index + 1);
    if (!another) return another.error_result();
    if (*another) return fail(std::string(UNHEALTHY_CABLE_MESSAGE));
    // The device stays whatever the update's outcome: it was there before this run.
    bool reboot = false;
    if (!installer.update_driver(utf8_to_utf16(VB_CABLE_IDENTITY), inf_path, reboot)) {
        return fail(windows_error("install signed cable", installer.last_error()));
    }
    return SetupSuccess{reboot};
}

SetupResult install_cable(DeviceInstaller& installer, const InfClass& inf_class, const std::u16string& inf_path) {
    const std::u16string hardware_id = utf8_to_utf16(VB_CABLE_IDENTITY);
    // REG_MULTI_SZ holding the identifier once: the entry, its NUL and the list's NUL.
    std::u16string multi_sz = hardware_id;
    multi_sz.push_back(u'\0');
    multi_sz.push_back(u'\0');

    const auto created = installer.create_device_list(inf_class);
    if (!created) return windows_failure(installer, "create device list");
    const SetOwner new_set(installer, *created);
    if (!installer.create_device(new_set.get(), inf_class)) return windows_failure(installer, "create cable device");
    if (!installer.set_hardware_ids(new_set.get(), multi_sz.data(), static_cast<std::uint32_t>(multi_sz.size()))) {
        return windows_failure(installer, "set cable hardware identity");
    }
    if (!installer.call_class_installer(DIF_REGISTERDEVICE_CODE, new_set.get())) {
        return windows_failure(installer, "register cable device");
    }
    bool reboot = false;
    if (!installer.update_driver(hardware_id, inf_path, reboot)) {
        const std::uint32_t code = installer.last_error();
        // The one undo step: take the just-registered device away again. Its own result is
        // of no use to the caller; the update's code is what gets reported.
        (void)installer.call_class_installer(DIF_REMOVE_CODE, new_set.get());
        return fail(windows_error("install signed cable", code));
    }
    return SetupSuccess{reboot};
}

}  // namespace

bool hardware_ids_name_cable(const HardwareIdBuffer& buffer) {
    for (const std::string& piece : split_utf16_multi_string(std::u16string_view(buffer.data(), buffer.size()))) {
        if (ascii_iequal(piece, VB_CABLE_IDENTITY)) return true;
    }
    return false;
}

SetupResult ensure_cable_device(const fs::path& staged_folder, DeviceInstaller& installer) {
    fs::path inf_file = staged_folder;
    inf_file += fs::path::preferred_separator;
    inf_file += std::string(INSTALL_INF);
    const std::u16string inf_path = inf_file.u16string();

    InfClass inf_class{};
    if (!installer.read_inf_class(inf_path, inf_class)) return windows_failure(installer, "read signed INF");

    // From the search for an existing device to the end of the installation, one run at a time.
    // Declared before the sets, so it is let go after they are destroyed.
    switch (installer.lock_installation(INSTALL_LOCK_TIMEOUT_MS)) {
        case LockOutcome::Acquired:
            break;
        case LockOutcome::TimedOut:
            return fail(std::string(INSTALL_LOCK_TIMEOUT_MESSAGE));
        case LockOutcome::Failed:
            return windows_failure(installer, "lock cable installation");
    }
    const LockOwner lock(installer);

    const auto opened = installer.open_class_set(inf_class);
    if (!opened) return windows_failure(installer, "enumerate audio adapters");
    const SetOwner class_set(installer, *opened);

    const auto found = find_cable(installer, class_set.get(), 0);
    if (!found) return found.error_result();
    if (*found) return existing_cable(installer, class_set.get(), **found, inf_path);
    // The new set is destroyed inside install_cable, before the class set here: newest first.
    return install_cable(installer, inf_class, inf_path);
}

}  // namespace tamsel::setup
