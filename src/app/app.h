// Start-up, the frame loop, reboot and shutdown: the boot of the system image, the command
// line and the settings that take effect at once.
#pragma once
#include <cstdio>
#include "base/machine.h"

// Results of one boot.
enum boot_result { BOOT_OK = 0, BOOT_NO_IMAGE, BOOT_NO_ROOT, BOOT_NO_SCRIPT, BOOT_BAD_SCRIPT, BOOT_DAMAGED_IMAGE };

void set_default_config();
void process_arguments(int argc, char** argv);
// Reads image records from an open file into dat_file; returns the count.
int load_dat_records(FILE* f);
void free_dat_files();
// One boot: processes, file table, mounts, the root process and its boot script.
int boot_system(const char* boot_path);
// The boot; a boot that fails ends the program with a failure status.
void reset_app_state();
void do_reboot();
// One frame of the loop; false once the loop should end.
bool frame_step();
void system_frame();
// Runs the first slot's process for one frame with the per-frame bookkeeping around it.
void run_process_frame();
void shutdown_system();
[[noreturn]] void orvalune_exit();
uint32_t video_flag_word();
int orvalune_main(int argc, char** argv);
