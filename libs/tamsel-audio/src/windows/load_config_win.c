/* The image's load configuration, linked into each Windows program by the toolchains whose
 * linker (LLD) fills the load-configuration directory from this symbol. Its one purpose here is
 * DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32: the loader then resolves the program's own
 * imports from System32 only, never from the program's folder, before any of its code runs.
 * The mingw-w64 headers still call that field Reserved1. */
#include <windows.h>

#include <stddef.h>

_Static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY64, Reserved1) == 0x4E,
               "DependentLoadFlags sits at offset 0x4E of the 64-bit load configuration");

__attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
    .Size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64),
    .Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32,
};
