#include "audio/dsp/rnnoise/rnnoise.h"
#include "audio/dsp/rnnoise/rnnoise_instance.h"
#include "audio/dsp/rnnoise/rnnoise_runtime.h"

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

enum { FrameSamples = 480, FrameBytes = FrameSamples * (int)sizeof(float), WasmPage = 65536 };

static pthread_once_t s_moduleOnce = PTHREAD_ONCE_INIT;
static int s_moduleTrap;

static void initModule(void *unused)
{
    (void)unused;
    RNNOISE_INIT_MODULE();
}

static void initModuleOnce(void)
{
    s_moduleTrap = rnnoise_runtime_guard(initModule, NULL);
}

static wasm_rt_memory_t *memoryOf(RNNOISE_IMPORTS_T *env)
{
    return &RNNOISE_MEMORY(env->module);
}

/* import a.a: emscripten_resize_heap(requested total bytes) -> success */
u32 RNNOISE_RESIZE_HEAP(RNNOISE_IMPORTS_T *env, u32 requested)
{
    wasm_rt_memory_t *memory = memoryOf(env);
    if (requested <= memory->size)
        return 1;
    const uint64_t pages = ((uint64_t)requested - memory->size + WasmPage - 1) / WasmPage;
    return wasm_rt_grow_memory(memory, (uint32_t)pages) != UINT32_MAX;
}

/* import a.b: emscripten_memcpy_big(dest, src, count) */
void RNNOISE_MEMCPY_BIG(RNNOISE_IMPORTS_T *env, u32 dest, u32 src, u32 count)
{
    wasm_rt_memory_t *memory = memoryOf(env);
    if ((uint64_t)dest + count > memory->size || (uint64_t)src + count > memory->size)
        wasm_rt_trap(WASM_RT_TRAP_OOB);
    memmove(memory->data + dest, memory->data + src, count);
}

static void createInModule(void *arg)
{
    DenoiseState *st = arg;
    RNNOISE_INSTANTIATE(&st->module, &st->env);
    RNNOISE_RUN_CONSTRUCTORS(&st->module);
    st->state = RNNOISE_CREATE(&st->module, 0);
    st->frame = RNNOISE_MALLOC(&st->module, FrameBytes);
    if (!st->state || !st->frame)
        wasm_rt_trap((wasm_rt_trap_t)RNNOISE_TRAP_NO_MEMORY);
}

typedef struct ProcessCall
{
    DenoiseState *st;
    float vad;
} ProcessCall;

static void processInModule(void *arg)
{
    ProcessCall *call = arg;
    DenoiseState *st = call->st;
    call->vad = RNNOISE_PROCESS_FRAME(&st->module, st->state, st->frame, st->frame);
}

DenoiseState *rnnoise_create(RNNModel *model)
{
    if (model)
        return NULL;
    pthread_once(&s_moduleOnce, initModuleOnce);
    if (s_moduleTrap)
        return NULL;
    DenoiseState *st = calloc(1, sizeof *st);
    if (!st)
        return NULL;
    st->env.module = &st->module;
    if (rnnoise_runtime_guard(createInModule, st)) {
        rnnoise_destroy(st);
        return NULL;
    }
    return st;
}

void rnnoise_destroy(DenoiseState *st)
{
    if (!st)
        return;
    /* Also after a trap half-way through instantiation: whatever was not
     * allocated yet is still zero and is skipped. */
    RNNOISE_FREE(&st->module);
    free(st);
}

float rnnoise_process_frame(DenoiseState *st, float *out, const float *in)
{
    if (st && !st->trap) {
        wasm_rt_memory_t *memory = &RNNOISE_MEMORY(&st->module);
        if ((uint64_t)st->frame + FrameBytes > memory->size) {
            st->trap = WASM_RT_TRAP_OOB;
        } else {
            memcpy(memory->data + st->frame, in, FrameBytes);
            ProcessCall call = { st, 0.0f };
            st->trap = rnnoise_runtime_guard(processInModule, &call);
            if (!st->trap) {
                /* re-read the base: the module may have grown (moved) its memory */
                memcpy(out, memory->data + st->frame, FrameBytes);
                return call.vad;
            }
        }
    }
    if (out != in)
        memcpy(out, in, FrameBytes);
    return -1.0f;
}

const char *rnnoise_failure(const DenoiseState *st)
{
    if (!st)
        return "no state";
    return st->trap ? rnnoise_trap_text(st->trap) : NULL;
}
