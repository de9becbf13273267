// A library named like the driver's interface library that lacks its query export.
#include "standin_export.h"

TEVU_STANDIN_EXPORT int nvapi_unrelated_export() { return 0; }
