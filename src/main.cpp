// The program's entry point.
#include "kernel/app.h"

int main(int argc, char** argv) { return orvalune_main(argc, argv); }
