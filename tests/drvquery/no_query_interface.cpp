// A library named like the driver's interface library that lacks its query export.
extern "C" __attribute__((visibility("default"))) int nvapi_unrelated_export() { return 0; }
