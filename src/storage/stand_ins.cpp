// Placeholders until their modules land: image cartridges are not written (the writer
// appends nothing, so a .q64.png keeps its previous contents).
#include "storage/cart.h"

void write_q64_png_from_ram_files(pbuffer*, const char*) {}
