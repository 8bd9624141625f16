# cubeb for the Windows builds, built from one pinned upstream commit: static, speex bundled,
# only the Windows backends (WASAPI, WinMM), nothing taken from the build machine's
# pkg-config. The result is the imported target tamsel::cubeb, linked by the library that
# calls cubeb (the audio controller).
#
# Where the source comes from (exactly one):
#   TAMSEL_CUBEB_ARCHIVE     a `git archive` tarball of the pinned commit (the offline copy; our
#                            scripts pass ../shared/vendor/cubeb-<commit>.tar.gz when it exists,
#                            also through the environment variable of the same name). Its SHA-256
#                            must equal TAMSEL_CUBEB_ARCHIVE_SHA256, or configuring stops.
#   TAMSEL_CUBEB_REPOSITORY  a clone URL of the upstream cubeb repository (or a mirror of it);
#                            the build checks out exactly TAMSEL_CUBEB_COMMIT, which git verifies
#                            by its object hash.
# There is deliberately no fallback: a bad archive never leads to another cubeb.
include(ExternalProject)

set(TAMSEL_CUBEB_COMMIT eccd3215db9d74af17e379796b3667d57996588f)
set(TAMSEL_CUBEB_ARCHIVE_SHA256 e22f46eb02b13dfd88d13cb6264ca227f15d9ab3db4a57f106e87c844c5bfa79)

# The environment variable counts while the cache holds no source: a configure that stopped for
# want of one (and left an empty entry behind) takes a variable set afterwards.
if(NOT TAMSEL_CUBEB_ARCHIVE AND NOT TAMSEL_CUBEB_REPOSITORY AND NOT "$ENV{TAMSEL_CUBEB_ARCHIVE}" STREQUAL "")
  set(TAMSEL_CUBEB_ARCHIVE "$ENV{TAMSEL_CUBEB_ARCHIVE}" CACHE FILEPATH
      "git archive of cubeb at commit ${TAMSEL_CUBEB_COMMIT} (tar.gz), checked by SHA-256" FORCE)
endif()
set(TAMSEL_CUBEB_ARCHIVE "" CACHE FILEPATH
    "git archive of cubeb at commit ${TAMSEL_CUBEB_COMMIT} (tar.gz), checked by SHA-256")
set(TAMSEL_CUBEB_REPOSITORY "" CACHE STRING
    "Clone URL of the upstream cubeb repository; commit ${TAMSEL_CUBEB_COMMIT} is checked out")

if(TAMSEL_CUBEB_ARCHIVE)
  if(NOT EXISTS "${TAMSEL_CUBEB_ARCHIVE}")
    message(FATAL_ERROR "cubeb source archive not found: ${TAMSEL_CUBEB_ARCHIVE}")
  endif()
  file(SHA256 "${TAMSEL_CUBEB_ARCHIVE}" _cubeb_digest)
  if(NOT _cubeb_digest STREQUAL TAMSEL_CUBEB_ARCHIVE_SHA256)
    message(FATAL_ERROR "cubeb source archive ${TAMSEL_CUBEB_ARCHIVE}: SHA-256 digest mismatch: "
                        "expected ${TAMSEL_CUBEB_ARCHIVE_SHA256} (commit ${TAMSEL_CUBEB_COMMIT}), "
                        "got ${_cubeb_digest}. The archive is altered or truncated; not building cubeb from it.")
  endif()
  set(_cubeb_source URL "${TAMSEL_CUBEB_ARCHIVE}" URL_HASH SHA256=${TAMSEL_CUBEB_ARCHIVE_SHA256})
elseif(TAMSEL_CUBEB_REPOSITORY)
  set(_cubeb_source GIT_REPOSITORY "${TAMSEL_CUBEB_REPOSITORY}" GIT_TAG ${TAMSEL_CUBEB_COMMIT}
                    GIT_SHALLOW OFF GIT_SUBMODULES "" GIT_PROGRESS OFF)
else()
  message(FATAL_ERROR "No source for cubeb ${TAMSEL_CUBEB_COMMIT}: pass -DTAMSEL_CUBEB_REPOSITORY=<clone URL of "
                      "the upstream cubeb repository> or -DTAMSEL_CUBEB_ARCHIVE=<cubeb-${TAMSEL_CUBEB_COMMIT}.tar.gz> "
                      "(or set the environment variable TAMSEL_CUBEB_ARCHIVE). See README.md, \"Windows dependencies\".")
endif()

set(_cubeb_prefix ${CMAKE_BINARY_DIR}/cubeb)
set(_cubeb_library ${_cubeb_prefix}/lib/${CMAKE_STATIC_LIBRARY_PREFIX}cubeb${CMAKE_STATIC_LIBRARY_SUFFIX})
set(_cubeb_args
  -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_INSTALL_PREFIX=${_cubeb_prefix}
  -DCMAKE_INSTALL_LIBDIR=lib
  -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTS=OFF -DBUILD_TOOLS=OFF -DBUILD_RUST_LIBS=OFF
  -DBUNDLE_SPEEX=ON -DUSE_SANITIZERS=OFF -DLAZY_LOAD_LIBS=ON
  # Only the Windows backends: the Linux headers of the build machine must not switch others on.
  -DUSE_PULSE=0 -DUSE_ALSA=0 -DUSE_JACK=0 -DUSE_SNDIO=0 -DUSE_AAUDIO=0 -DUSE_OSS=0
  -DUSE_AUDIOUNIT=0 -DUSE_OPENSL=0 -DUSE_SUN=0 -DUSE_KAI=0
  -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON)
if(TAMSEL_ARM64_TOOLCHAIN)
  list(APPEND _cubeb_args -DTAMSEL_ARM64_TOOLCHAIN=${TAMSEL_ARM64_TOOLCHAIN})
endif()
if(CMAKE_C_COMPILER_LAUNCHER)
  list(APPEND _cubeb_args -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
                          -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER})
endif()

ExternalProject_Add(tamsel_cubeb_build
  ${_cubeb_source}
  PREFIX ${CMAKE_BINARY_DIR}/cubeb-build
  CMAKE_ARGS ${_cubeb_args}
  BUILD_BYPRODUCTS ${_cubeb_library}
  UPDATE_DISCONNECTED ON
  LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON LOG_OUTPUT_ON_FAILURE ON)

file(MAKE_DIRECTORY ${_cubeb_prefix}/include)
add_library(tamsel_cubeb STATIC IMPORTED GLOBAL)
set_target_properties(tamsel_cubeb PROPERTIES
  IMPORTED_LOCATION ${_cubeb_library}
  INTERFACE_INCLUDE_DIRECTORIES ${_cubeb_prefix}/include
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${_cubeb_prefix}/include)
# The system libraries of the WASAPI and WinMM backends.
set(_cubeb_system avrt winmm ole32 ksuser uuid)
if(TARGET tamsel_zig_ks_guids)
  list(PREPEND _cubeb_system tamsel_zig_ks_guids)
endif()
set_property(TARGET tamsel_cubeb PROPERTY INTERFACE_LINK_LIBRARIES ${_cubeb_system})
add_dependencies(tamsel_cubeb tamsel_cubeb_build)
add_library(tamsel::cubeb ALIAS tamsel_cubeb)
