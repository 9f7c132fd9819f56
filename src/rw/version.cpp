// zeb_version(): the version this library was built as.  CMake writes
// zebversion.h with it; builds of the sources without CMake (the fuzz
// targets, the cross checks) have none and say "0.0".
#include "zebcommon.h"

#if __has_include("zebversion.h")
#include "zebversion.h"
#else
#define ZEB_VERSION_STRING "0.0"
#endif

extern "C" ZEB_API const char *zeb_version(void) {
    return ZEB_VERSION_STRING;
}
