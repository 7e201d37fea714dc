// The program's entry point.
#include "app/app.h"
#include "base/machine.h"

int main(int argc, char** argv) { return orvalune_main(argc, argv); }
