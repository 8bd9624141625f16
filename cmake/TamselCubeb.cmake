# cubeb for the Windows builds, built from one pinned upstream commit: static, speex bundled,
# only the Windows backends (WASAPI, WinMM), nothing taken from the build machine's
# pkg-config. The result is the imported target tamsel::cubeb, linked by the library that
# calls cubeb (the audio controller).
#
# Where the source comes from, the first that applies:
#   TAMSEL_CUBEB_ARCHIVE     a `git archive` tarball of the pinned commit; its SHA-256 must equal
#                            TAMSEL_CUBEB_ARCHIVE_SHA256, or configuring stops.
#   TAMSEL_CUBEB_REPOSITORY  set to a clone URL other than the upstream one (a mirror, a local
#                            clone): TAMSEL_CUBEB_COMMIT is fetched from it.
#   the vendored archive     ../shared/vendor/cubeb-<pinned commit>.tar.gz beside the checkout,
#                            checked like TAMSEL_CUBEB_ARCHIVE.
#   the upstream repository  TAMSEL_CUBEB_UPSTREAM, the default of TAMSEL_CUBEB_REPOSITORY.
# Each of the three variables, when not set on the command line, is taken from the environment
# variable of the same name. TAMSEL_CUBEB_COMMIT is the pinned commit unless set; another commit
# can only come from a repository, since the archive digest belongs to the pinned one.
# A repository is fetched while configuring, into cubeb-src of the build folder, and the commit
# is checked out by its hash; later configures find it there and need no network. An archive
# that fails its digest stops the configure: nothing falls back to a download.
include(ExternalProject)

set(TAMSEL_CUBEB_PINNED_COMMIT eccd3215db9d74af17e379796b3667d57996588f)
set(TAMSEL_CUBEB_ARCHIVE_SHA256 e22f46eb02b13dfd88d13cb6264ca227f15d9ab3db4a57f106e87c844c5bfa79)
set(TAMSEL_CUBEB_UPSTREAM https://github.com/mozilla/cubeb.git)

set(TAMSEL_CUBEB_ARCHIVE "" CACHE FILEPATH
    "git archive of cubeb at commit ${TAMSEL_CUBEB_PINNED_COMMIT} (tar.gz), checked by SHA-256")
set(TAMSEL_CUBEB_REPOSITORY "${TAMSEL_CUBEB_UPSTREAM}" CACHE STRING
    "Clone URL of the cubeb repository that TAMSEL_CUBEB_COMMIT is fetched from")
set(TAMSEL_CUBEB_COMMIT "${TAMSEL_CUBEB_PINNED_COMMIT}" CACHE STRING
    "The cubeb commit built (full hash); only a repository can provide one other than the pinned")

# A value other than the default counts as set; otherwise the environment variable of the same
# name is read on every configure, so one set after a configure that stopped is taken by the next.
function(_tamsel_cubeb_setting out name default)
  if(NOT "${${name}}" STREQUAL "${default}")
    set(${out} "${${name}}" PARENT_SCOPE)
  elseif(NOT "$ENV{${name}}" STREQUAL "")
    set(${out} "$ENV{${name}}" PARENT_SCOPE)
  else()
    set(${out} "${default}" PARENT_SCOPE)
  endif()
endfunction()
_tamsel_cubeb_setting(_cubeb_archive TAMSEL_CUBEB_ARCHIVE "")
_tamsel_cubeb_setting(_cubeb_repository TAMSEL_CUBEB_REPOSITORY "${TAMSEL_CUBEB_UPSTREAM}")
_tamsel_cubeb_setting(_cubeb_commit TAMSEL_CUBEB_COMMIT "${TAMSEL_CUBEB_PINNED_COMMIT}")
string(LENGTH "${_cubeb_commit}" _cubeb_commit_length)
if(NOT _cubeb_commit MATCHES "^[0-9a-f]+$" OR NOT _cubeb_commit_length EQUAL 40)
  message(FATAL_ERROR "TAMSEL_CUBEB_COMMIT \"${_cubeb_commit}\" is not a full commit hash (40 lower-case hex digits)")
endif()
get_filename_component(_cubeb_vendored
  "${CMAKE_SOURCE_DIR}/../shared/vendor/cubeb-${TAMSEL_CUBEB_PINNED_COMMIT}.tar.gz" ABSOLUTE)
set(_cubeb_source_dir ${CMAKE_BINARY_DIR}/cubeb-src)

if(NOT _cubeb_archive AND _cubeb_repository STREQUAL TAMSEL_CUBEB_UPSTREAM
   AND _cubeb_commit STREQUAL TAMSEL_CUBEB_PINNED_COMMIT AND EXISTS "${_cubeb_vendored}")
  set(_cubeb_archive "${_cubeb_vendored}")
endif()

if(_cubeb_archive)
  if(NOT _cubeb_commit STREQUAL TAMSEL_CUBEB_PINNED_COMMIT)
    message(FATAL_ERROR "cubeb ${_cubeb_commit} cannot come from an archive (${_cubeb_archive}): only the pinned "
                        "commit ${TAMSEL_CUBEB_PINNED_COMMIT} has a known archive digest; pass "
                        "-DTAMSEL_CUBEB_REPOSITORY=<clone URL> instead")
  endif()
  if(NOT EXISTS "${_cubeb_archive}")
    message(FATAL_ERROR "cubeb source archive not found: ${_cubeb_archive}")
  endif()
  file(SHA256 "${_cubeb_archive}" _cubeb_digest)
  if(NOT _cubeb_digest STREQUAL TAMSEL_CUBEB_ARCHIVE_SHA256)
    message(FATAL_ERROR "cubeb source archive ${_cubeb_archive}: SHA-256 digest mismatch: "
                        "expected ${TAMSEL_CUBEB_ARCHIVE_SHA256} (commit ${TAMSEL_CUBEB_PINNED_COMMIT}), "
                        "got ${_cubeb_digest}. The archive is altered or truncated; not building cubeb from it.")
  endif()
  message(STATUS "cubeb ${_cubeb_commit}: from the archive ${_cubeb_archive} (SHA-256 checked)")
  set(_cubeb_source URL "${_cubeb_archive}" URL_HASH SHA256=${TAMSEL_CUBEB_ARCHIVE_SHA256})
else()
  include(${CMAKE_CURRENT_LIST_DIR}/TamselCubebFetch.cmake)
  tamsel_cubeb_fetch("${_cubeb_repository}" ${_cubeb_commit} "${_cubeb_source_dir}" _cubeb_problem)
  if(_cubeb_problem)
    message(FATAL_ERROR "No source for cubeb ${_cubeb_commit}: ${_cubeb_problem}. cubeb comes either from its "
                        "repository, which this machine must reach (the upstream one by default; "
                        "-DTAMSEL_CUBEB_REPOSITORY=<clone URL> names another), or from the archive of the "
                        "pinned commit (a git archive of it): placed at ${_cubeb_vendored}, or passed with "
                        "-DTAMSEL_CUBEB_ARCHIVE=<cubeb-${TAMSEL_CUBEB_PINNED_COMMIT}.tar.gz>. Each variable "
                        "may also be set in the environment. See README.md, \"Windows dependencies\".")
  endif()
  if(NOT _cubeb_commit STREQUAL TAMSEL_CUBEB_PINNED_COMMIT)
    message(WARNING "cubeb ${_cubeb_commit} is built instead of the pinned commit ${TAMSEL_CUBEB_PINNED_COMMIT}")
  endif()
  message(STATUS "cubeb ${_cubeb_commit}: from the repository ${_cubeb_repository}")
  # The source is in place already; the commit in the command makes Ninja build again after a
  # configure that checked out another one.
  set(_cubeb_source DOWNLOAD_COMMAND ${CMAKE_COMMAND} -E echo "cubeb ${_cubeb_commit}" UPDATE_COMMAND "")
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

# The source folder is the same for both origins (scripts/package reads the licences from it).
ExternalProject_Add(tamsel_cubeb_build
  ${_cubeb_source}
  SOURCE_DIR ${_cubeb_source_dir}
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
