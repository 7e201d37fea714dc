// The host audio device: the output stream the synthesiser fills on the audio thread,
// and the nesting lock that keeps the audio callback out while the main thread works.
#pragma once
#include <cstdint>

// Depth of the nesting audio lock; main thread only.
extern int32_t lock_level;

// Take and release one level of the nesting lock; only the outermost level locks the device.
void os_lock_audio();
void os_unlock_audio();

// Opens and starts the output stream (nothing while the audio subsystem is down).
void audio_open_output_device();
// Host hot-plug of audio devices: an output device index that arrived, a device id that left.
void audio_device_added(int32_t index);
void audio_device_removed(uint32_t device_id);
