// The file history: daily logs of changed host files with content blobs and
// per-month Bloom filters, kept in the application-data folder.
#pragma once
#include "kernel/pbuffer.h"

void anywhen_open();
void anywhen_close();
// kind 0 a host file was written (path = its virtual path, host_path = the host file),
// 1 a file or folder was deleted, 2 a folder was made, 3 a note, 4 only today's log.
void anywhen_event(int kind, const char* path, const char* host_path);
