// Session parameters shared by every connection: set by the commands, read by
// the pad and fingerprint threads.
#pragma once

#include <atomic>
#include <cstdint>

// 1: a fingerprint capture follows the signature; 0: it does not.
extern std::atomic<uint8_t> CaptureMode;
// Quality a fingerprint image must exceed (blocks with texture, 0 to 301).
extern std::atomic<int32_t> FingerQuality;
