// The host audio device: the output stream the synthesiser fills on the audio thread,
// and the nesting lock that keeps the audio callback out while the main thread works.
#pragma once
#include <cstdint>

// Depth of the nesting audio lock; main thread only.
extern int32_t lock_level;

// Take and release one level of the nesting lock; only the outermost level locks the device.
void os_lock_audio();
void os_unlock_audio();
