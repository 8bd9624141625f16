#pragma once
// A scripted device tree for the detection rules: device instances with their hardware
// identifiers and status, endpoint nodes hanging some levels below a driver node, and form
// factors per endpoint. Every call is counted.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device_tree.hpp"
#include "tamsel/audio/text.hpp"

namespace tamsel::setup::testing {

inline NodeStatus started_status() { return {NODE_FLAG_STARTED, 0}; }

class FakeTree final : public DeviceTree {
public:
    // Size and list results per attempt; the last entry repeats.
    std::vector<bool> size_results{true};
    std::vector<bool> list_results{true};
    int size_calls = 0;
    int list_calls = 0;
    std::vector<std::uint32_t> list_lengths;
    // Extra units reported by the size query (the list then ends in several NULs).
    std::uint32_t size_slack = 1;

    std::vector<std::u16string> instance_ids;
    std::map<std::u16string, DevNode> nodes;
    std::map<DevNode, std::optional<std::u16string>> hardware;
    // Status results per node and call; the last entry repeats. Missing node: call fails.
    std::map<DevNode, std::vector<std::optional<NodeStatus>>> statuses;
    std::map<DevNode, int> status_calls;
    std::map<DevNode, DriverKey> driver_keys;  // missing node: Present
    std::map<DevNode, int> driver_key_calls;
    std::map<DevNode, DevNode> parents;
    std::map<std::string, std::uint32_t> form_factors;
    std::vector<std::string> form_factor_reads;
    std::vector<std::u16string> located;

    // A present device instance: its node, hardware identifiers and status.
    void device(const std::u16string& instance_id, DevNode node, const std::vector<std::u16string>& ids,
                std::optional<NodeStatus> status = started_status()) {
        instance_ids.push_back(instance_id);
        nodes[instance_id] = node;
        std::u16string multi;
        for (const auto& id : ids) {
            multi += id;
            multi.push_back(u'\0');
        }
        hardware[node] = multi;
        statuses[node] = {status};
    }

    // An endpoint whose node lies `levels` parent steps below `driver`.
    void endpoint(const std::string& endpoint_id, DevNode driver, int levels = 2) {
        DevNode node = next_node_++;
        nodes[utf8_to_utf16("SWD\\MMDEVAPI\\" + endpoint_id)] = node;
        for (int i = 1; i < levels; ++i) {
            const DevNode up = next_node_++;
            parents[node] = up;
            node = up;
        }
        parents[node] = driver;
    }

    std::optional<std::uint32_t> device_id_list_size() override {
        const bool ok = pick(size_results, size_calls++);
        if (!ok) return std::nullopt;
        return static_cast<std::uint32_t>(joined().size()) + size_slack;
    }

    std::optional<std::u16string> device_id_list(std::uint32_t length) override {
        list_lengths.push_back(length);
        const bool ok = pick(list_results, list_calls++);
        if (!ok) return std::nullopt;
        std::u16string buffer = joined();
        buffer.resize(length, u'\0');
        return buffer;
    }

    std::optional<DevNode> locate(std::u16string_view instance_id) override {
        located.emplace_back(instance_id);
        const auto it = nodes.find(std::u16string(instance_id));
        if (it == nodes.end()) return std::nullopt;
        return it->second;
    }

    std::optional<std::u16string> hardware_ids(DevNode node) override {
        const auto it = hardware.find(node);
        if (it == hardware.end() || !it->second) return std::nullopt;
        std::u16string buffer = *it->second;
        buffer.resize(HARDWARE_ID_BUFFER_UNITS, u'\0');
        return buffer;
    }

    std::optional<NodeStatus> status(DevNode node) override {
        const int call = status_calls[node]++;
        const auto it = statuses.find(node);
        if (it == statuses.end() || it->second.empty()) return std::nullopt;
        const auto& script = it->second;
        return script[static_cast<std::size_t>(call) < script.size() ? static_cast<std::size_t>(call) : script.size() - 1];
    }

    DriverKey driver_key(DevNode node) override {
        ++driver_key_calls[node];
        const auto it = driver_keys.find(node);
        return it == driver_keys.end() ? DriverKey::Present : it->second;
    }

    std::optional<DevNode> parent(DevNode node) override {
        const auto it = parents.find(node);
        if (it == parents.end()) return std::nullopt;
        return it->second;
    }

    std::optional<std::uint32_t> endpoint_form_factor(std::string_view endpoint_id) override {
        form_factor_reads.emplace_back(endpoint_id);
        const auto it = form_factors.find(std::string(endpoint_id));
        if (it == form_factors.end()) return std::nullopt;
        return it->second;
    }

private:
    static bool pick(const std::vector<bool>& script, int call) {
        const auto i = static_cast<std::size_t>(call);
        return script[i < script.size() ? i : script.size() - 1];
    }

    std::u16string joined() const {
        std::u16string list;
        for (const auto& id : instance_ids) {
            list += id;
            list.push_back(u'\0');
        }
        return list;
    }

    DevNode next_node_ = 5000;
};

}  // namespace tamsel::setup::testing
