// The node synthesiser: channels, instruments, the tracker sequencer and the mixer
// that renders 44.1 kHz stereo from its own copy of the audio owner's memory.
#pragma once
#include <cstdint>

struct process_record;

void mudo_init();
void mudo_set_volume(int32_t v);
void mudo_set_stereo_swap(uint32_t flag);
void mudo_kill_all_audio();
// Lays the default wavetable and audio data into a new process's memory.
void write_default_audio_data(process_record* rec);
