// misalignedCall.cpp -- calls the module's entry on a stack off the 16-byte boundary, as a 32-bit
// host may
#include "pluginHost/moduleLoader.h"

#if defined(__i386__)

// 32-bit Windows only promises 4-byte stack alignment, and hosts built that way call
// ENTRYPOINT (and window procedures) with the stack 4, 8 or 12 bytes off the 16-byte
// boundary that GCC assumes unless told to realign. This call leaves it 8 bytes off at
// the callee's first instruction: a module that keeps SSE values in stack slots it
// believes aligned faults here.
extern "C" void briselCallMisaligned(EntryPointProc entry, int32_t selector, FilterRecord* record,
                                     intptr* data, int16_t* result) __asm__("briselCallMisaligned");

// cdecl: the arguments at 8..24(%ebp) after the frame is set up; the caller pops them.
// After "and" the stack is on the boundary; 8 bytes, four 4-byte arguments and the
// return address then leave it at 4 (mod 16) where the callee expects 12.
__asm__(
    ".text\n"
    ".globl briselCallMisaligned\n"
    "briselCallMisaligned:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  andl $-16, %esp\n"
    "  subl $8, %esp\n"
    "  pushl 24(%ebp)\n"
    "  pushl 20(%ebp)\n"
    "  pushl 16(%ebp)\n"
    "  pushl 12(%ebp)\n"
    "  call *8(%ebp)\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");

bool canCallMisaligned() { return true; }

void callEntryMisaligned(EntryPointProc entry, int16_t selector, FilterRecord* record, intptr* data,
                         int16_t* result) {
  briselCallMisaligned(entry, selector, record, data, result);
}

#else

// 64-bit ABIs fix 16-byte alignment at every call, and hosts keep it.
bool canCallMisaligned() { return false; }

void callEntryMisaligned(EntryPointProc entry, int16_t selector, FilterRecord* record, intptr* data,
                         int16_t* result) {
  entry(selector, record, data, result);
}

#endif
