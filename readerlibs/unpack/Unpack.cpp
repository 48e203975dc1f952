// Stand-in for the portrait unpacker. The control binds `Unpack` but never
// calls it; it answers failure.
#include "reader/ReaderApi.h"

#if defined(_WIN32)
#define UNPACK_EXPORT extern "C"  // exported by unpack.def
#else
#define UNPACK_EXPORT extern "C" __attribute__((visibility("default")))
#endif

UNPACK_EXPORT int READER_API Unpack(char*, unsigned char*, int) { return 0; }
