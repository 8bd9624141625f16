#include "controller_apartment.hpp"

namespace tamsel::controller_detail {

std::int32_t enter_thread_apartment() { return 0; }
void leave_thread_apartment() {}

}  // namespace tamsel::controller_detail
