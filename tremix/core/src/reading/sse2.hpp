// Whether the scanners look at sixteen bytes at a time with SSE2. Every
// scanner that does has a portable loop beside it, which other machines
// take; a build with TREMIX_SCALAR_SCAN takes those loops here too, so that
// the tests check them against the exact rules (tools/scalar_scan.sh).
#pragma once

#if defined(__SSE2__) && !defined(TREMIX_SCALAR_SCAN)
#define TREMIX_SSE2 1
#include <emmintrin.h>
#else
#define TREMIX_SSE2 0
#endif
