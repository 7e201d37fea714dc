// Placeholders for the synthesiser until it lands: silent, with no state.
#include "audio/mudo.h"

void mudo_init() {}
void mudo_set_volume(int32_t) {}
void mudo_set_stereo_swap(uint32_t) {}
void mudo_kill_all_audio() {}
void write_default_audio_data(process_record*) {}

int16_t last_mixed_out[MUDO_LAST_MIXED_FRAMES * 2];
int32_t last_num_samples_mixed = 0;

uint32_t mudo_get_active_channels() { return 0; }
int32_t mudo_get_music_state(int32_t selector) { return selector == 1 ? 0 : -1; }

// Every channel is idle: its note is off and it has no instrument.
int32_t mudo_get_channel_state(int32_t channel, int32_t selector, int16_t* destination) {
    if (channel == -1 && selector == -1) {
        int32_t n = last_num_samples_mixed < 0 ? 0 : last_num_samples_mixed;
        if (n > MUDO_LAST_MIXED_FRAMES) n = MUDO_LAST_MIXED_FRAMES;
        for (int32_t i = 0; destination && i < n * 2; i++) destination[i] = last_mixed_out[i];
        return n;
    }
    if (channel < 0 || channel > 15) return -1;
    return selector == 0 ? 0 : -1;
}
