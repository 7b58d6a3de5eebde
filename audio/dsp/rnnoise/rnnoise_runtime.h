#pragma once

/* The runtime under the translated RNNoise module, in place of the one that
 * comes with wasm2c. A module's linear memory is allocated at its real size
 * (16 MiB for RNNoise) and every access is bounds-checked by the translated
 * code, so an instance costs what it uses and nothing more, and a stray access
 * is a trap like any other. A trap, and a failed allocation, unwind to the
 * innermost rnnoise_runtime_guard of the thread that raised them; nothing in
 * here aborts or prints. */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Not a WebAssembly trap: the module's memory or table could not be allocated. */
enum { RNNOISE_TRAP_NO_MEMORY = 100 };

/* Runs call(arg); returns 0 when it returned, or the code of the trap that
 * ended it. Guards nest; each thread has its own. */
int rnnoise_runtime_guard(void (*call)(void *), void *arg);

/* A short description of a trap code for log lines. */
const char *rnnoise_trap_text(int code);

/* Where module memory comes from: allocate gives zero-filled bytes, resize
 * keeps the old bytes (and the block, when it fails), both return NULL on
 * failure. Tests swap them to make allocations fail; NULL restores calloc,
 * realloc and free. Set while no instance is being created or resized. */
typedef struct RnnoiseMemoryHooks
{
    void *(*allocate)(size_t bytes);
    void *(*resize)(void *block, size_t bytes);
    void (*release)(void *block);
} RnnoiseMemoryHooks;
void rnnoise_set_memory_hooks(const RnnoiseMemoryHooks *hooks);

#ifdef __cplusplus
}
#endif
