// The host audio device: the output stream the synthesiser fills on the audio thread,
// and the nesting lock that keeps the audio callback out while the main thread works.
#pragma once
#include <cstdint>

// The rate the device plays and the synthesiser mixes at.
constexpr int32_t MUDO_SAMPLE_RATE = 44100;

// Depth of the nesting audio lock; main thread only.
extern int32_t lock_level;
// Id of the opened output device; -1 while none is open.
extern int64_t audio_device;

// Take and release one level of the nesting lock; only the outermost level locks the device.
void os_lock_audio();
void os_unlock_audio();

// From now on the output stream is a silent one of the program's own, for a run without a sound
// device: a thread that takes a 512-frame block from the callback every 512 / 44,100 s, as SDL's
// "dummy" driver would, without loading the media library (false goes back to the host's
// device). While no output is open only.
void audio_use_silent_output(bool use);
bool audio_plays_into_silence();

// Opens and starts the output stream of the host's default output: 44,100 Hz, signed 16-bit
// stereo, 512-frame blocks. Nothing while the audio subsystem is down or a device is open; a
// failed open is logged and left for a later device to retry.
void audio_open_output_device();
// Closes the output stream, so that its last block is played (or written) whole.
void audio_close_output_device();
// At the end of the run: closes the output stream, but for one that plays into nothing (SDL's
// dummy driver), which is only paused, so that no callback runs again and the quit does not
// wait for its thread.
void audio_end_output_device();
// Host hot-plug of output devices: an index that arrived opens a device when none is open; a
// device id that left closes it when it is the open one, and the host's new default is opened.
void audio_device_added(int32_t index);
void audio_device_removed(uint32_t device_id);
// The host's audio callback: fills len bytes of stereo frames from the synthesiser (in pieces
// it can mix) and appends them to a running audio capture.
void sdl2_mixer_callback(void* userdata, uint8_t* stream, int len);

// What the device's callback plays, set at start-up (app/hooks.cpp): the synthesiser mixes
// frames of interleaved stereo into out, and each finished buffer goes on to the capture.
struct audio_sources {
    int (*mix)(int16_t* out, int32_t frames);
    void (*mixed)(const uint8_t* block, int32_t length);
};
extern audio_sources audio_source;
