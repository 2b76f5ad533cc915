// A reader library that lacks ZAZShowFingerData: six of the seven entry
// points, each doing nothing.
#include <cstdint>

extern "C" {
int ZAZOpenDeviceEx(uint32_t*, int, int, int, int, int) {
    return 1;
}
int ZAZCloseDeviceEx(uint32_t) {
    return 0;
}
int ZAZGetImage(uint32_t, uint32_t) {
    return 1;
}
int ZAZUpImage(uint32_t, uint32_t, unsigned char*, int*) {
    return 1;
}
int ZAZImgData2BMP(const unsigned char*, const char*) {
    return 1;
}
const char* ZAZErr2Str(int) {
    return "";
}
}
