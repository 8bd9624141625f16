// The manifest compiled into tamsel_driver_setup: the 31 files of the VB-CABLE package and
// their SHA-256 digests. The text itself is vbcable-manifest.json beside this file, embedded byte
// for byte at build time (TAMSEL_DRIVER_MANIFEST names the generated list of its bytes), so the
// program and the release scripts read one source. It is a source of each program rather than of
// a library, so a program always carries exactly one manifest. The size bound that goes with it,
// MAX_PACKAGE_FILE_BYTES (64 MiB, far above the largest of these files), stands beside
// DRIVER_MANIFEST in manifest.hpp.
//
// Test builds of the program (never the shipped one) define TAMSEL_TEST_DRIVER_MANIFEST as the
// path of the same kind of generated list, made from the manifest of a generated test package;
// everything else about such a program is the shipped program's code.
#include "manifest.hpp"

namespace tamsel::setup {

namespace {
constexpr char MANIFEST_TEXT[] = {
#if defined(TAMSEL_TEST_DRIVER_MANIFEST)
#include TAMSEL_TEST_DRIVER_MANIFEST
#else
#include TAMSEL_DRIVER_MANIFEST
#endif
};
}  // namespace

const std::string_view DRIVER_MANIFEST{MANIFEST_TEXT, sizeof MANIFEST_TEXT};

}  // namespace tamsel::setup
