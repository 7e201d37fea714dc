// Placeholders for the synthesiser until it lands: silent, with no state.
#include "audio/mudo.h"

void mudo_init() {}
void mudo_set_volume(int32_t) {}
void mudo_set_stereo_swap(uint32_t) {}
void mudo_kill_all_audio() {}
void write_default_audio_data(process_record*) {}
