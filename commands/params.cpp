// The session parameters that the commands set and the pad and fingerprint
// threads read.
#include "commands/params.h"

std::atomic<uint8_t> CaptureMode{0};
std::atomic<int32_t> FingerQuality{0};
