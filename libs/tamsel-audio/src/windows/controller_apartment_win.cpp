#include <windows.h>

#include <objbase.h>

#include "../controller_apartment.hpp"

namespace tamsel::controller_detail {

std::int32_t enter_thread_apartment() {
    return static_cast<std::int32_t>(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

void leave_thread_apartment() { CoUninitialize(); }

}  // namespace tamsel::controller_detail
