#pragma once
// The COM apartment of the controller thread: the multithreaded apartment on Windows, nothing
// on other systems.

#include <cstdint>

namespace tamsel::controller_detail {

// CoInitializeEx(nullptr, COINIT_MULTITHREADED) on Windows; 0 (S_OK) elsewhere.
std::int32_t enter_thread_apartment();
// CoUninitialize on Windows, after a successful enter.
void leave_thread_apartment();

}  // namespace tamsel::controller_detail
