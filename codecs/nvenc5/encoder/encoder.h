// The Encoder class: one CUDA context, one NVENC session and their buffers for one video stream.
#pragma once

#include "module_state.h"

namespace tevu::nvenc {

// Adds the Encoder type to the module.
void register_encoder_type(PyObject* module);
// init_module(): driver verdict, library loading, the test encoder.
void module_initialise();
// A capability of the codec of an open encoder (an Encoder instance, TypeError for anything else).
int encoder_capability(PyObject* encoder, int cap);
// The module's get_info() dictionary.
Ref module_info();

}  // namespace tevu::nvenc
