#pragma once
// How a named thread starts on Windows, with the resume call replaceable so that tests can
// make it fail.
#include <windows.h>

#include <functional>
#include <memory>
#include <string_view>

#include "tamsel/audio/platform.hpp"

namespace tamsel::win {

using ResumeThreadCall = DWORD(WINAPI*)(HANDLE);


// Creates the thread suspended, stores its handle, then resumes it with `resume`. When the
// resume fails the thread, which never ran, is ended and released, and the system's text for
// the resume error comes back: nothing is left that a join could wait for.
Result<std::shared_ptr<NamedThread::State>> start_thread_state(std::string_view name, std::function<void()> body,
                                                               ResumeThreadCall resume);

}  // namespace tamsel::win
