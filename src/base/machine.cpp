// The machine's shared records: the settings, the per-boot state and the system image's
// records, kept here so that every layer can reach them.
#include "base/machine.h"

#ifndef ORVALUNE_BUILD_DATE
#define ORVALUNE_BUILD_DATE "unknown"
#endif

app_config config;
app_state app;
pbuffer* dat_file[DAT_FILE_MAX];
int dat_file_count = 0;
uint32_t platform_initialised = 0;
uint32_t video_hash0 = 0xFFFFFFFF;
const char* build_date = ORVALUNE_BUILD_DATE;
process_record* root_process = nullptr;

pbuffer* get_dat_file(int i) {
    if (i < 0 || i >= dat_file_count || !dat_file[i]) return nullptr;
    dat_file[i]->cursor = 0;
    return dat_file[i];
}
