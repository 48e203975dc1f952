// Stand-in for the portrait decoder. `GetBmp(path, 2)` is to decode the
// 1024-byte compressed portrait in `path` into a 102 x 126, 24-bit BMP beside
// it (same base name, extension bmp) and answer 1; until the portrait format
// is decoded here it answers 0 and writes nothing.
#define WLTRS_EXPORT extern "C" __attribute__((visibility("default")))

WLTRS_EXPORT int GetBmp(char*, int) { return 0; }
