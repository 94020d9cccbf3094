// The stand-in program, carried inside the board so that the board needs no
// file beside the daemon's to build its sandbox, whoever runs it.
#include <string_view>

#include "sim/sandbox.h"

#ifndef NORVASK_SIM_STANDIN
#error "NORVASK_SIM_STANDIN names the built stand-in program"
#endif

asm(".pushsection .rodata\n"
    ".balign 16\n"
    ".globl norvask_standin_begin\n"
    ".hidden norvask_standin_begin\n"
    "norvask_standin_begin:\n"
    ".incbin \"" NORVASK_SIM_STANDIN
    "\"\n"
    ".globl norvask_standin_end\n"
    ".hidden norvask_standin_end\n"
    "norvask_standin_end:\n"
    ".popsection\n");

extern "C" const char norvask_standin_begin[];
extern "C" const char norvask_standin_end[];

std::string_view standin_image() {
  return {norvask_standin_begin,
          static_cast<std::size_t>(norvask_standin_end - norvask_standin_begin)};
}
