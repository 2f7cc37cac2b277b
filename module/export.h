// The library exports PyInit_cMolvar and the codec's entry points by their
// plain names; everything else is built with hidden visibility.
#pragma once

#define MOLVAR_EXPORT extern "C" __attribute__((visibility("default")))
