#include "tamsel/audio/entry_guard.hpp"

#include <exception>
#include <string>

#include "tamsel/audio/platform.hpp"

namespace tamsel {

int run_guarded(const std::function<int()>& entry, const std::function<int(std::string_view)>& report,
                std::string_view fixed_line) noexcept {
    try {
        return entry();
    } catch (const std::exception& error) {
        try {
            return report(std::string("internal error: ") + error.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            return report("internal error");
        } catch (...) {
        }
    }
    write_stderr_line(fixed_line);
    return 1;
}

}  // namespace tamsel
