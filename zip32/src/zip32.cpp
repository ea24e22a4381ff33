#include "zip32.h"

extern "C" {
ZIP32_API int32_t ZIP32_CALL ZpInit(const ZipEngineCallbacks *) { return 0; }
ZIP32_API int32_t ZIP32_CALL ZpSetOptions(ZipEngineOptions *) { return 0; }
ZIP32_API int32_t ZIP32_CALL ZpArchive(int32_t, const char *, ZipFileNameList) { return ZP_INTERNAL; }
}
