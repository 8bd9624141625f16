#pragma once
// A ProcessApi built from tables, for the rules' tests. It records which pids were queried and
// how many handles are open, so tests can see the order of checks and that nothing leaks.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "process_api.hpp"

namespace tamsel::host::testing {

struct FakeProcess {
    FakeProcess() = default;
    FakeProcess(std::string exe_path, std::uint64_t start_time, bool is_running = true,
                std::optional<std::string> error = std::nullopt)
        : exe(std::move(exe_path)), start(start_time), running(is_running), open_error(std::move(error)) {}

    std::string exe;
    std::uint64_t start = 0;
    bool running = true;
    std::optional<std::string> open_error;  // query_process_identity fails with this text
};

class FakeProcessApi final : public ProcessApi {
public:
    std::map<std::uint32_t, FakeProcess> processes;
    Result<ProcessTable> table = ProcessTable{};
    std::uint32_t self_pid = 1000;
    Result<std::vector<std::uint32_t>> window_owners = std::vector<std::uint32_t>{};

    std::vector<std::uint32_t> queried;
    int table_calls = 0;
    std::shared_ptr<int> open_handles = std::make_shared<int>(0);

    Result<ProcessIdentity> query_process_identity(std::uint32_t pid) override {
        queried.push_back(pid);
        const auto found = processes.find(pid);
        if (found == processes.end()) {
            return fail("open process: The parameter is incorrect. (0x80070057)");
        }
        if (found->second.open_error) return fail(*found->second.open_error);
        ProcessIdentity identity;
        identity.exe = found->second.exe;
        identity.start = found->second.start;
        identity.handle = std::make_unique<Handle>(found->second.running, open_handles);
        return identity;
    }
    Result<ProcessTable> take_process_table() override {
        ++table_calls;
        return table;
    }
    std::uint32_t current_process_id() override { return self_pid; }
    Result<std::vector<std::uint32_t>> visible_window_owners() override { return window_owners; }
    // The platform's error form; unset: the default one of ProcessApi.
    std::function<std::string(std::string_view, std::int32_t)> error_form;
    std::string os_error_context(std::string_view context, std::int32_t code) override {
        return error_form ? error_form(context, code) : ProcessApi::os_error_context(context, code);
    }

private:
    class Handle final : public ProcessHandle {
    public:
        Handle(bool running, std::shared_ptr<int> open) : running_(running), open_(std::move(open)) { ++*open_; }
        ~Handle() override { --*open_; }
        bool is_running() const override { return running_; }

    private:
        bool running_;
        std::shared_ptr<int> open_;
    };
};

}  // namespace tamsel::host::testing
