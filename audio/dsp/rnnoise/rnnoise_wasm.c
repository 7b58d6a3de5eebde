#include "audio/dsp/rnnoise/rnnoise.h"
#include "audio/dsp/rnnoise/rnnoise_trap.h"

#include "rnnoise_module.h"

#include <pthread.h>
#include <setjmp.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

enum { FrameSamples = 480, FrameBytes = FrameSamples * (int)sizeof(float), WasmPage = 65536 };

/* What the module's imports see: the instance that called them. */
struct Z_a_instance_t
{
    Z_rnnoise_instance_t *module;
};

struct DenoiseState
{
    Z_rnnoise_instance_t module;
    struct Z_a_instance_t env;
    u32 state;  /* the module's own DenoiseState, an address in its memory */
    u32 frame;  /* 480 floats in its memory, used for input and output */
    int broken; /* set after a trap; the instance is not entered again */
};

static pthread_once_t s_moduleOnce = PTHREAD_ONCE_INIT;
static _Thread_local jmp_buf *t_trapTarget;

static void initModule(void)
{
    wasm_rt_init();
    Z_rnnoise_init_module();
}

void rnnoise_wasm_trap(int code)
{
    longjmp(*t_trapTarget, code ? code : 1);
}

static wasm_rt_memory_t *memoryOf(struct Z_a_instance_t *env)
{
    return &env->module->w2c_c;
}

/* import a.a: emscripten_resize_heap(requested total bytes) -> success */
u32 Z_aZ_a(struct Z_a_instance_t *env, u32 requested)
{
    wasm_rt_memory_t *memory = memoryOf(env);
    if (requested <= memory->size)
        return 1;
    const uint64_t pages = ((uint64_t)requested - memory->size + WasmPage - 1) / WasmPage;
    return wasm_rt_grow_memory(memory, (uint32_t)pages) != UINT32_MAX;
}

/* import a.b: emscripten_memcpy_big(dest, src, count) */
void Z_aZ_b(struct Z_a_instance_t *env, u32 dest, u32 src, u32 count)
{
    wasm_rt_memory_t *memory = memoryOf(env);
    if ((uint64_t)dest + count > memory->size || (uint64_t)src + count > memory->size)
        wasm_rt_trap(WASM_RT_TRAP_OOB);
    memmove(memory->data + dest, memory->data + src, count);
}

/* Runs `call` so that a trap inside the module returns 0 here instead of
 * unwinding through the caller. */
static int runGuarded(void (*call)(DenoiseState *, void *), DenoiseState *st, void *arg)
{
    jmp_buf target;
    jmp_buf *outer = t_trapTarget;
    t_trapTarget = &target;
    const int trapped = setjmp(target);
    if (!trapped)
        call(st, arg);
    t_trapTarget = outer;
    return !trapped;
}

static void createInModule(DenoiseState *st, void *unused)
{
    (void)unused;
    Z_rnnoiseZ_d(&st->module); /* static constructors */
    st->state = Z_rnnoiseZ_f(&st->module, 0);
    st->frame = Z_rnnoiseZ_g(&st->module, FrameBytes);
}

static void processInModule(DenoiseState *st, void *vad)
{
    *(float *)vad = Z_rnnoiseZ_j(&st->module, st->state, st->frame, st->frame);
}

DenoiseState *rnnoise_create(RNNModel *model)
{
    if (model)
        return NULL;
    pthread_once(&s_moduleOnce, initModule);
    DenoiseState *st = calloc(1, sizeof *st);
    if (!st)
        return NULL;
    st->env.module = &st->module;
    Z_rnnoise_instantiate(&st->module, &st->env);
    if (!st->module.w2c_c.data || !runGuarded(createInModule, st, NULL) || !st->state
        || !st->frame) {
        rnnoise_destroy(st);
        return NULL;
    }
    return st;
}

void rnnoise_destroy(DenoiseState *st)
{
    if (!st)
        return;
    Z_rnnoise_free(&st->module);
    free(st);
}

float rnnoise_process_frame(DenoiseState *st, float *out, const float *in)
{
    float vad = 0.0f;
    if (st && !st->broken) {
        memcpy(st->module.w2c_c.data + st->frame, in, FrameBytes);
        if (runGuarded(processInModule, st, &vad)) {
            /* re-read the base: the module may have grown (moved) its memory */
            memcpy(out, st->module.w2c_c.data + st->frame, FrameBytes);
            return vad;
        }
        st->broken = 1;
    }
    if (out != in)
        memcpy(out, in, FrameBytes);
    return 0.0f;
}
