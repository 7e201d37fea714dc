// The node synthesiser: channels, instruments, the tracker sequencer and the mixer
// that renders 44.1 kHz stereo from its own copy of the audio owner's memory.
#pragma once
#include <cstdint>

struct process_record;

void mudo_init();
void mudo_set_volume(int32_t v);
void mudo_set_stereo_swap(uint32_t flag);
void mudo_kill_all_audio();
// Bit c is set while channel c (0..15) plays a track or sounds a note.
uint32_t mudo_anything_is_playing();
// Fill or copy into the mixer's copy of the owner's memory; the caller keeps the
// range inside the 16 MB.
void mudo_memset(uint32_t address, uint8_t value, uint32_t length);
void mudo_memcpy(uint32_t address, const uint8_t* source, uint32_t length);
// Lays the default wavetable and audio data into a new process's memory.
void write_default_audio_data(process_record* rec);
