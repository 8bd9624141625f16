#pragma once
// The cubeb entry points the controller thread calls, as one table so that tests can replace
// single calls (a failing cubeb_init, a refused enumeration) and keep the rest real.

#include <cubeb/cubeb.h>

#include "tamsel/audio/controller.hpp"

namespace tamsel {

struct CubebApi {
    int (*init)(cubeb** context, const char* context_name, const char* backend_name);
    const char* (*get_backend_id)(cubeb* context);
    int (*enumerate_devices)(cubeb* context, cubeb_device_type type, cubeb_device_collection* collection);
    int (*device_collection_destroy)(cubeb* context, cubeb_device_collection* collection);
    void (*destroy)(cubeb* context);
};

}  // namespace tamsel
