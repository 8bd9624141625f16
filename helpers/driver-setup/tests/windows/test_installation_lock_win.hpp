#pragma once
// TEST PROGRAMS ONLY: the name of the stand-in installation lock of the Wine test builds
// (test_installation_lock_win.cpp), which a test may hold to stop a run at the lock.

namespace tamsel::setup::win {

inline constexpr const wchar_t* TEST_LOCK_NAME = L"Local\\tamsel-test-installation-lock";

}  // namespace tamsel::setup::win
