// Stand-in for the portrait unpacker. The control binds `Unpack` but never
// calls it; it answers failure.
#define UNPACK_EXPORT extern "C" __attribute__((visibility("default")))

UNPACK_EXPORT int Unpack(char*, unsigned char*, int) { return 0; }
