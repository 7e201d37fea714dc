// The file history: daily logs of changed host files with content blobs and
// per-month Bloom filters, kept in the application-data folder.
#pragma once
#include "kernel/pbuffer.h"

void anywhen_open();
void anywhen_close();
void anywhen_event(int event, const char* path, pbuffer* contents);
