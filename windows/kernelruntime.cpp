// What the compiler's C++ needs from a runtime, in a kernel image that links
// no C runtime, no libstdc++ and no libgcc. Windows build only.
//
// What is deliberately not here:
//   - memset, memcpy, memmove, memcmp: calls the compiler emits for copies
//     and zeroing resolve to ntoskrnl.exe's exports through libntoskrnl.a.
//   - ___chkstk_ms (stack probes of frames over a page): the build rejects
//     such frames (-Wframe-larger-than) instead.
//   - atexit, __cxa_atexit, __main and any constructor list walker: the
//     driver has no static constructors or destructors; a static object that
//     needs one fails to link (atexit) or fails the image check (.ctors).
//   - a global operator new/delete: objects are allocated by class-specific
//     operators from the pool; a stray global new fails to link.

// GCC fills the slots of pure virtual functions in the tables of abstract
// classes (the port class interfaces, the object base) with this name. It is
// only reached by calling a virtual function while its object is being
// constructed or destroyed, which is a driver bug. ud2 raises an invalid
// opcode exception that nothing in the kernel handles, so the system stops
// with the driver's frame on the stack instead of jumping through a slot that
// holds nothing callable. (MSVC-built drivers use ntoskrnl's _purecall here;
// a trap needs no import and cannot return.)
extern "C" void __cxa_pure_virtual(void)
{
    __builtin_trap();
}
