// Placeholder for the audio device until it lands: no stream opens, so the nesting
// lock only counts its levels.
#include "platform/audio_device.h"

int32_t lock_level = 0;

void os_lock_audio() { lock_level++; }

void os_unlock_audio() { lock_level--; }

void audio_open_output_device() {}
void audio_device_added(int32_t) {}
void audio_device_removed(uint32_t) {}
