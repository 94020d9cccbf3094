// The stand-in program, carried inside the board so that the board needs no
// file beside the daemon's to build its sandbox, whoever runs it.
#include <cstdint>
#include <string_view>

#include "sim/sandbox.h"

#ifndef NORVASK_SIM_STANDIN
#error "NORVASK_SIM_STANDIN names the built stand-in program"
#endif

// The program's bytes, and their count beside them.
asm(".pushsection .rodata\n"
    ".balign 16\n"
    ".globl norvask_standin_begin\n"
    ".hidden norvask_standin_begin\n"
    "norvask_standin_begin:\n"
    ".incbin \"" NORVASK_SIM_STANDIN
    "\"\n"
    "norvask_standin_end:\n"
    ".balign 8\n"
    ".globl norvask_standin_size\n"
    ".hidden norvask_standin_size\n"
    "norvask_standin_size:\n"
    ".quad norvask_standin_end - norvask_standin_begin\n"
    ".popsection\n");

extern "C" const char norvask_standin_begin[];
extern "C" const std::uint64_t norvask_standin_size;

std::string_view standin_image() {
  return {norvask_standin_begin, static_cast<std::size_t>(norvask_standin_size)};
}
