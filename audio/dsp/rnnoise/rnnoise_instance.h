#pragma once

/* One RNNoise state: a module instance with its own linear memory. Private to
 * the RNNoise library, and to tests that need to reach inside it. */

#include "rnnoise_module.h"

/* What the module's imports see: the instance that called them. */
struct Z_a_instance_t
{
    Z_rnnoise_instance_t *module;
};

struct DenoiseState
{
    Z_rnnoise_instance_t module;
    struct Z_a_instance_t env;
    u32 state; /* the module's own DenoiseState, an address in its memory */
    u32 frame; /* 480 floats in its memory, used for input and output */
    int trap;  /* the trap that stopped the instance; 0 while it works */
};
