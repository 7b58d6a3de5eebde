#pragma once

/* RNNoise noise suppression, built from the WebAssembly release of the npm
 * package @jitsi/rnnoise-wasm translated to C at build time, its hottest
 * routines swapped for native kernels that give the very same bits
 * (rnnoise_kernels.h). Every state is a separate module instance with its own
 * linear memory (16 MiB, allocated at that size, rnnoise_runtime.h), so states
 * never share data and each may be used from its own thread without locking.
 * Nothing in here aborts: failures are NULL states and stopped states. */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct DenoiseState DenoiseState;
typedef struct RNNModel RNNModel;

/* Only the built-in model exists: `model` must be NULL. Returns NULL when the
 * instance cannot be set up. */
DenoiseState *rnnoise_create(RNNModel *model);
void rnnoise_destroy(DenoiseState *st);

/* Denoises one 10 ms frame of 480 samples at 48 kHz, in the ±32768 range.
 * `out` may be `in`. Returns the voice probability (0..1). When the module
 * traps (never seen in practice) the state stops for good: this frame and
 * every later one are copied through and -1 is returned. */
float rnnoise_process_frame(DenoiseState *st, float *out, const float *in);

/* Why the state stopped, for a log line; NULL while it works. */
const char *rnnoise_failure(const DenoiseState *st);

#ifdef __cplusplus
}
#endif
