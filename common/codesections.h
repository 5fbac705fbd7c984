// Where the driver's functions live in the image.
//
// Code that runs only at PASSIVE_LEVEL (driver entry, device start, object
// creation and initialisation, format changes, property handlers) goes into
// the pageable section and starts with PAGED_CODE(), which on the host fails
// the test that calls it above APC_LEVEL. Everything that can run at
// DISPATCH_LEVEL (the data path, state changes, position queries, the object
// base) stays in the default, resident section and is marked nowhere.
//
// GCC has no code_seg pragma; a section attribute names the same PE section.
// A section whose name begins with PAGE is pageable to the Windows loader; on
// the host it is just another code section.
#pragma once

#define PAGEABLE_CODE __attribute__((section("PAGE")))
