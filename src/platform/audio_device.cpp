// The host audio device over SDL: one output stream filled by the synthesiser on SDL's audio
// thread, reopened when the host's devices change, and the nesting lock over it.
#include "platform/audio_device.h"
#include "platform/sdl_library.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "base/machine.h"
#include "platform/host.h"
#include "platform/window.h"

int32_t lock_level = 0;
int64_t audio_device = -1;

namespace {

constexpr int32_t MIX_FRAMES_AT_ONCE = 4096;  // the largest request the mixer takes at once
SDL_AudioDeviceID locked_device = 0;          // the device the outermost lock level holds

void log_line(const char* format, int64_t value, const char* text = nullptr) {
    if (text) snprintf(velt_debug_string, sizeof(velt_debug_string), format, (int)value, text);
    else snprintf(velt_debug_string, sizeof(velt_debug_string), format, (int)value);
    velt_debug(velt_debug_string);
}

// The silent output: its thread, the lock the callback runs under, and the wake-up that ends it.
constexpr int64_t SILENT_DEVICE_ID = 1;
constexpr int32_t SILENT_BLOCK_FRAMES = 512;
struct silent_output_state {
    int32_t chosen;   // audio_use_silent_output was called
    int32_t running;  // the thread runs and calls the callback
    int32_t stop;     // asks the thread to end
    pthread_t thread;
    pthread_mutex_t lock;
    pthread_cond_t wake;
};
silent_output_state silent = {0, 0, 0, {}, PTHREAD_MUTEX_INITIALIZER, {}};

void* silent_output_thread(void*) {
    pthread_setname_np(pthread_self(), "orvalune_audio");
    static uint8_t block[SILENT_BLOCK_FRAMES * 4];
    const int64_t period_ns = (int64_t)SILENT_BLOCK_FRAMES * 1000000000LL / MUDO_SAMPLE_RATE;
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    pthread_mutex_lock(&silent.lock);
    while (!silent.stop) {
        sdl2_mixer_callback(nullptr, block, (int)sizeof(block));
        int64_t ns = next.tv_nsec + period_ns;
        next.tv_sec += (time_t)(ns / 1000000000LL);
        next.tv_nsec = (long)(ns % 1000000000LL);
        // A thread that fell more than a block behind (a stall, a stopped process) starts
        // counting again from now rather than mixing the blocks it missed back to back.
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t behind = ((int64_t)now.tv_sec - (int64_t)next.tv_sec) * 1000000000LL + (now.tv_nsec - next.tv_nsec);
        if (behind > period_ns) next = now;
        while (!silent.stop && pthread_cond_timedwait(&silent.wake, &silent.lock, &next) != ETIMEDOUT) {}
    }
    pthread_mutex_unlock(&silent.lock);
    return nullptr;
}

bool start_silent_output() {
    if (silent.running) return true;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&silent.wake, &attr);
    pthread_condattr_destroy(&attr);
    silent.stop = 0;
    int rc = pthread_create(&silent.thread, nullptr, silent_output_thread, nullptr);
    if (rc != 0) {
        snprintf(velt_debug_string, sizeof(velt_debug_string), "** audio device open failed: %s\n", strerror(rc));
        velt_debug(velt_debug_string);
        return false;
    }
    silent.running = 1;
    return true;
}

void stop_silent_output() {
    if (!silent.running) return;
    // The main thread may hold the lock in a bracket: the thread is woken and joined outside it.
    bool held = lock_level > 0;
    if (!held) pthread_mutex_lock(&silent.lock);
    silent.stop = 1;
    pthread_cond_signal(&silent.wake);
    pthread_mutex_unlock(&silent.lock);
    pthread_join(silent.thread, nullptr);
    silent.running = 0;
    if (held) pthread_mutex_lock(&silent.lock);
    pthread_cond_destroy(&silent.wake);
}

}  // namespace

void audio_use_silent_output(bool use) {
    if (audio_device <= 0 && lock_level == 0) silent.chosen = use ? 1 : 0;
}
bool audio_plays_into_silence() { return silent.chosen != 0; }

void audio_open_output_device() {
    if (!sdl_state.audio_ok || audio_device > 0) return;
    if (silent.chosen) {
        velt_debug("Audio output: silent (no sound device)\n");
        if (start_silent_output()) audio_device = SILENT_DEVICE_ID;
        return;
    }
    for (int capture = 0; capture < 2; capture++) {
        int count = SDL_GetNumAudioDevices(capture);
        for (int i = 0; i < count; i++) {
            const char* name = SDL_GetAudioDeviceName(i, capture);
            log_line(capture ? "Audio input device %d: %s\n" : "Audio output device %d: %s\n", i, name ? name : "");
        }
    }
    SDL_AudioSpec want, got;
    memset(&want, 0, sizeof(want));
    want.freq = MUDO_SAMPLE_RATE;
    want.format = AUDIO_S16LSB;
    want.channels = 2;
    want.samples = 512;
    want.callback = [](void* userdata, Uint8* stream, int len) { sdl2_mixer_callback(userdata, stream, len); };
    SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &want, &got, 0);
    if (id == 0) {
        // Logged and left closed; a device the host adds later is tried again.
        audio_device = -1;
        snprintf(velt_debug_string, sizeof(velt_debug_string), "** audio device open failed: %s\n", SDL_GetError());
        velt_debug(velt_debug_string);
        return;
    }
    audio_device = id;
    // A bracket already open on the main thread holds the new device too.
    if (lock_level > 0) {
        SDL_LockAudioDevice(id);
        locked_device = id;
    }
    SDL_PauseAudioDevice(id, 0);
}

void audio_close_output_device() {
    if (audio_device <= 0) return;
    if (silent.chosen) {
        stop_silent_output();
        audio_device = -1;
        return;
    }
    SDL_AudioDeviceID id = (SDL_AudioDeviceID)audio_device;
    if (locked_device == id) {
        SDL_UnlockAudioDevice(id);
        locked_device = 0;
    }
    SDL_CloseAudioDevice(id);
    audio_device = -1;
}

void audio_end_output_device() {
    if (audio_device <= 0) return;
    if (silent.chosen) {
        audio_close_output_device();
        return;
    }
    const char* driver = SDL_GetCurrentAudioDriver();
    if (!driver || strcmp(driver, "dummy") != 0) {
        audio_close_output_device();
        return;
    }
    // The dummy driver plays into nothing, and its thread sleeps a whole buffer between calls
    // of the callback, which closing waits out at every quit. Paused (which takes the device
    // lock, so the callback has returned and is not called again) it can be left to the exit.
    SDL_AudioDeviceID id = (SDL_AudioDeviceID)audio_device;
    if (locked_device == id) {
        SDL_UnlockAudioDevice(id);
        locked_device = 0;
    }
    SDL_PauseAudioDevice(id, 1);
}

audio_sources audio_source;

void sdl2_mixer_callback(void*, uint8_t* stream, int len) {
    if (!stream || len <= 0) return;
    int32_t frames = len / 4;
    int16_t* out = reinterpret_cast<int16_t*>(stream);
    for (int32_t done = 0; done < frames;) {
        int32_t n = std::min(frames - done, MIX_FRAMES_AT_ONCE);
        if (audio_source.mix) audio_source.mix(out + 2 * done, n);
        else memset(out + 2 * done, 0, size_t(n) * 4);
        done += n;
    }
    if (len % 4) memset(stream + 4 * frames, 0, (size_t)(len % 4));
    if (audio_source.mixed) audio_source.mixed(stream, len);
}

void audio_device_added(int32_t index) {
    log_line("SDL_AUDIODEVICEADDED %d\n", index);
    if (audio_device <= 0) audio_open_output_device();
}

void audio_device_removed(uint32_t device_id) {
    log_line("SDL_AUDIODEVICEREMOVED %d\n", device_id);
    if (audio_device <= 0 || device_id != audio_device) return;
    audio_close_output_device();
    audio_open_output_device();
}

void os_lock_audio() {
    if (silent.chosen) {
        if (lock_level == 0) pthread_mutex_lock(&silent.lock);
        lock_level++;
        return;
    }
    if (lock_level == 0 && audio_device > 0) {
        locked_device = (SDL_AudioDeviceID)audio_device;
        SDL_LockAudioDevice(locked_device);
    }
    lock_level++;
}

void os_unlock_audio() {
    if (silent.chosen) {
        lock_level--;
        if (lock_level == 0) pthread_mutex_unlock(&silent.lock);
        return;
    }
    lock_level--;
    if (lock_level == 0 && locked_device != 0) {
        SDL_UnlockAudioDevice(locked_device);
        locked_device = 0;
    }
}
