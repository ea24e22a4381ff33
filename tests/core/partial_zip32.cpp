// An engine library that lacks two of its entry points.
#include "zip32.h"
extern "C" ZIP32_API int32_t ZIP32_CALL ZpInit(const ZipEngineCallbacks *) { return 0; }
