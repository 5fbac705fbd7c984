# A 32-bit x86 native image for the host platform's loader to refuse: a
# driver entry that returns STATUS_SUCCESS, nothing else. Assembled and
# linked with the x86-64 binutils in their 32-bit modes (no 32-bit
# compiler needed).
    .text
    .globl _DriverEntry@8
_DriverEntry@8:
    xorl %eax, %eax
    ret $8
