// Placeholder until the process-loopback capture run lands: capture mode reports itself as
// unavailable instead of pretending to capture.
#include "capture_run_win.hpp"

namespace tamsel::host::win {

Status run_capture_windows(const CaptureRequest&, ProcessApi&) { return fail("capture mode is not available in this build"); }

}  // namespace tamsel::host::win
