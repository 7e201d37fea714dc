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

// State readers for the status query; the caller holds the audio lock.
// Bit c is set while channel c (0..15) plays a track.
uint32_t mudo_get_active_channels();
// 0: the current music pattern, -1 when no music plays; 1: the leftmost music channel
// that does not loop, 0 when none; any other selector: -1.
int32_t mudo_get_music_state(int32_t selector);
// One value of a channel's state, -1 when there is none. Channel and selector both -1
// copy the last mixed block (stereo frames) to destination and give its frame count;
// selector 19 copies the channel's last tick of stereo frames and 20..27 the output of
// node selector - 20, giving the count (0..32768); destination holds 65,536 samples.
int32_t mudo_get_channel_state(int32_t channel, int32_t selector, int16_t* destination);
// The last block handed to the device (stereo frames, left first) and its frame count;
// kept as globals so that the kernel's tests can stage a block.
constexpr int32_t MUDO_LAST_MIXED_FRAMES = 8192;
extern int16_t last_mixed_out[MUDO_LAST_MIXED_FRAMES * 2];
extern int32_t last_num_samples_mixed;
