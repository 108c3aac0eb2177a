// Prints how this program runs, "native" or "emulated": what the tests that
// skip under a user-mode emulator rest on, checked from outside.
#include <cstdio>

#include "tests/support/emulation.h"

int main() { return std::puts(execution_kind()) >= 0 ? 0 : 1; }
