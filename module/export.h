// The library exports PyInit_cMolvar and the codec's entry points by their
// plain names; everything else is built with hidden visibility. A second
// library built from the codec (MOLVAR_NO_EXPORT) exports only its entry point.
#pragma once

#include "codec/portability.h"

#ifdef MOLVAR_NO_EXPORT
#define MOLVAR_EXPORT extern "C"
#else
#define MOLVAR_EXPORT extern "C" MOLVAR_VISIBLE
#endif
