// The implementation of stb's resampler, for builds whose system offers the
// header alone (the Windows build). The Linux build links the system's stb.
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb_image_resize.h>
