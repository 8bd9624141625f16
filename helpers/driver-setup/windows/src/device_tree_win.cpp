#include "device_tree_win.hpp"

#include <windows.h>

#include <cfgmgr32.h>

#include <cstring>
#include <string>
#include <vector>

#include "tamsel/audio/text.hpp"

namespace tamsel::setup {

namespace {

std::wstring terminated_wide(std::u16string_view text) {
    std::wstring wide(text.size(), L'\0');
    if (!text.empty()) std::memcpy(wide.data(), text.data(), text.size() * sizeof(char16_t));
    return wide;  // c_str() adds the terminator
}

std::u16string to_u16(const wchar_t* data, std::size_t units) {
    std::u16string text(units, u'\0');
    if (units != 0) std::memcpy(text.data(), data, units * sizeof(char16_t));
    return text;
}

class WindowsDeviceTree final : public DeviceTree {
public:
    std::optional<std::uint32_t> device_id_list_size() override {
        ULONG length = 0;
        if (CM_Get_Device_ID_List_SizeW(&length, nullptr, CM_GETIDLIST_FILTER_PRESENT) != CR_SUCCESS) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(length);
    }

    std::optional<std::u16string> device_id_list(std::uint32_t length) override {
        // One spare unit so that an empty list still passes a valid pointer; the call is told
        // the queried length only.
        std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
        if (CM_Get_Device_ID_ListW(nullptr, buffer.data(), length, CM_GETIDLIST_FILTER_PRESENT) != CR_SUCCESS) {
            return std::nullopt;
        }
        return to_u16(buffer.data(), length);
    }

    std::optional<DevNode> locate(std::u16string_view instance_id) override {
        std::wstring id = terminated_wide(instance_id);
        DEVINST node = 0;
        if (CM_Locate_DevNodeW(&node, id.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return std::nullopt;
        return static_cast<DevNode>(node);
    }

    std::optional<std::u16string> hardware_ids(DevNode node) override {
        std::vector<wchar_t> buffer(HARDWARE_ID_BUFFER_UNITS, L'\0');
        ULONG length = static_cast<ULONG>(buffer.size() * sizeof(wchar_t));
        if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_HARDWAREID, nullptr, buffer.data(), &length, 0) !=
            CR_SUCCESS) {
            return std::nullopt;
        }
        // The whole buffer, whatever length the call reports.
        return to_u16(buffer.data(), buffer.size());
    }

    std::optional<NodeStatus> status(DevNode node) override {
        ULONG flags = 0;
        ULONG problem = 0;
        if (CM_Get_DevNode_Status(&flags, &problem, node, 0) != CR_SUCCESS) return std::nullopt;
        return NodeStatus{static_cast<std::uint32_t>(flags), static_cast<std::uint32_t>(problem)};
    }

    DriverKey driver_key(DevNode node) override {
        wchar_t key[256] = {};
        ULONG length = sizeof key;
        const CONFIGRET result = CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_DRIVER, nullptr, key, &length, 0);
        if (result == CR_SUCCESS) return DriverKey::Present;
        return result == CR_NO_SUCH_VALUE ? DriverKey::Absent : DriverKey::Unreadable;
    }

    std::optional<DevNode> parent(DevNode node) override {
        DEVINST up = 0;
        if (CM_Get_Parent(&up, node, 0) != CR_SUCCESS) return std::nullopt;
        return static_cast<DevNode>(up);
    }

    std::optional<std::uint32_t> endpoint_form_factor(std::string_view endpoint_id) override {
        return read_endpoint_form_factor(endpoint_id);
    }
};

}  // namespace

std::unique_ptr<DeviceTree> make_windows_device_tree() { return std::make_unique<WindowsDeviceTree>(); }

}  // namespace tamsel::setup
