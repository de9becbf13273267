// What the module's units offer each other: the Encoder type (encoder.cpp), init_module and the library
// loading (module_init.cpp), the module's own get_info() (module.cpp).
#pragma once

#include "codec.h"
#include "module_state.h"

namespace tevu::nvenc {

// Adds the Encoder type to the module.
void register_encoder_type(PyObject* module);
// init_module(): driver verdict, library loading, the test encoder (module_init.cpp).
void module_initialise();
// The module functions of module_init.cpp.
Ref init_nvencode_library(PyObject*, PyObject*);
Ref get_CUDA_CSC_function(PyObject*, PyObject* args);
Ref get_BGRA2NV12(PyObject*, PyObject* args);
Ref get_BGRA2YUV444(PyObject*, PyObject* args);
// A capability of the codec of an open encoder (an Encoder instance, TypeError for anything else).
int encoder_capability(PyObject* encoder, int cap);
// Whether the session of an open encoder listed the codec.
bool encoder_lists_codec(PyObject* encoder, const Codec& codec);
// The module's get_info() dictionary.
Ref module_info();

}  // namespace tevu::nvenc
