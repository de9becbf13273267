// How a stand-in library exports its entry points: on Windows only what is declared dllexport leaves a
// DLL, elsewhere what has default visibility (the stand-ins hide everything else).
#pragma once

#if defined(_WIN32)
#define TEVU_STANDIN_EXPORT extern "C" __declspec(dllexport)
#else
#define TEVU_STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif
