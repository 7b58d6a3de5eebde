#pragma once

/* One RNNoise state: a module instance with its own linear memory. Private to
 * the RNNoise library, and to tests that need to reach inside it. */

#include "rnnoise_module.h"
/* The translation's names for what the glue uses, read from rnnoise_module.h
 * at build time (wasm2c_names.cmake): they differ between wasm2c releases. */
#include "rnnoise_names.h"

/* What the module's imports see: the instance that called them. */
RNNOISE_IMPORTS_T
{
    RNNOISE_MODULE_T *module;
};

struct DenoiseState
{
    RNNOISE_MODULE_T module;
    RNNOISE_IMPORTS_T env;
    u32 state; /* the module's own DenoiseState, an address in its memory */
    u32 frame; /* 480 floats in its memory, used for input and output */
    int trap;  /* the trap that stopped the instance; 0 while it works */
};
