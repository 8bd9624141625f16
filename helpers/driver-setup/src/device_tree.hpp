#pragma once
// The Windows device tree as cable detection sees it: the configuration manager's list of
// present device instances, their nodes, hardware identifiers, status and parents, and the
// form factor of an audio endpoint from its property store. One interface, so that the
// detection rules in cable_detection.cpp run against a fake tree without Windows.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "device_node.hpp"

namespace tamsel::setup {

// A device-node handle as CM_Locate_DevNodeW gives it.
using DevNode = std::uint32_t;

inline constexpr std::uint32_t FORM_FACTOR_SPEAKERS = 1;             // EndpointFormFactor Speakers

// Length in UTF-16 units of the CM_DRP_HARDWAREID buffer (4096 bytes).
inline constexpr std::size_t HARDWARE_ID_BUFFER_UNITS = 2048;

class DeviceTree {
public:
    virtual ~DeviceTree() = default;

    // CM_Get_Device_ID_List_SizeW(no filter, CM_GETIDLIST_FILTER_PRESENT): the list length in
    // UTF-16 units, terminators included; nothing when the call fails.
    virtual std::optional<std::uint32_t> device_id_list_size() = 0;
    // CM_Get_Device_ID_ListW(no filter, a zero-filled buffer of `length` units,
    // CM_GETIDLIST_FILTER_PRESENT): the whole buffer (exactly `length` units) of NUL-separated
    // device instance identifiers; nothing when the call fails.
    virtual std::optional<std::u16string> device_id_list(std::uint32_t length) = 0;
    // CM_Locate_DevNodeW(identifier, CM_LOCATE_DEVNODE_NORMAL); the identifier is passed
    // NUL-terminated.
    virtual std::optional<DevNode> locate(std::u16string_view instance_id) = 0;
    // CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_HARDWAREID) into a zero-filled 4096-byte
    // buffer: all HARDWARE_ID_BUFFER_UNITS units whatever length the call reports; nothing
    // when the call fails.
    virtual std::optional<std::u16string> hardware_ids(DevNode node) = 0;
    // CM_Get_DevNode_Status(node, 0).
    virtual std::optional<NodeStatus> status(DevNode node) = 0;
    // CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_DRIVER): Absent for CR_NO_SUCH_VALUE,
    // Unreadable for any other failure.
    virtual DriverKey driver_key(DevNode node) = 0;
    // CM_Get_Parent(node, 0).
    virtual std::optional<DevNode> parent(DevNode node) = 0;
    // PKEY_AudioEndpoint_FormFactor of the endpoint with this identifier, read through the
    // MMDevice enumerator in a multithreaded apartment entered and left for this one read;
    // nothing when any step fails.
    virtual std::optional<std::uint32_t> endpoint_form_factor(std::string_view endpoint_id) = 0;
};

}  // namespace tamsel::setup
