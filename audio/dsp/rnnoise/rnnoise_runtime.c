#include "audio/dsp/rnnoise/rnnoise_runtime.h"

#include "wasm-rt.h"

#include <pthread.h>
#include <setjmp.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

enum { WasmPage = 65536 };

static void *allocateZeroed(size_t bytes)
{
    return calloc(1, bytes);
}

static const RnnoiseMemoryHooks s_libcMemory = { allocateZeroed, realloc, free };
static const RnnoiseMemoryHooks *s_memory = &s_libcMemory;

void rnnoise_set_memory_hooks(const RnnoiseMemoryHooks *hooks)
{
    s_memory = hooks ? hooks : &s_libcMemory;
}

/* The module's initialisation asserts this in builds with assertions. */
bool wasm_rt_is_initialized(void)
{
    return true;
}

/* ---- traps ---- */

static _Thread_local jmp_buf *t_guard;

int rnnoise_runtime_guard(void (*call)(void *), void *arg)
{
    jmp_buf target;
    jmp_buf *outer = t_guard;
    t_guard = &target;
    const int code = setjmp(target);
    if (!code)
        call(arg);
    t_guard = outer;
    return code;
}

void wasm_rt_trap(wasm_rt_trap_t code)
{
    /* Every entry into the module is guarded; a trap outside one is a bug in
     * the glue, and there is nowhere to return to. */
    if (!t_guard)
        abort();
    longjmp(*t_guard, code == WASM_RT_TRAP_NONE ? WASM_RT_TRAP_UNREACHABLE : (int)code);
}

const char *rnnoise_trap_text(int code)
{
    switch (code) {
    case 0: return "no trap";
    case RNNOISE_TRAP_NO_MEMORY: return "out of memory";
    case WASM_RT_TRAP_OOB: return "out-of-bounds memory access";
    case WASM_RT_TRAP_INT_OVERFLOW: return "integer overflow";
    case WASM_RT_TRAP_DIV_BY_ZERO: return "integer division by zero";
    case WASM_RT_TRAP_INVALID_CONVERSION: return "invalid conversion to integer";
    case WASM_RT_TRAP_UNREACHABLE: return "unreachable code reached";
    case WASM_RT_TRAP_CALL_INDIRECT: return "invalid indirect call";
    default: return "trap";
    }
}

/* ---- function types, registered once by the module's initialisation ---- */

typedef struct FuncType
{
    uint32_t params, results;
    wasm_rt_type_t types[];   /* params, then results */
} FuncType;

static FuncType **s_types;
static uint32_t s_typeCount;
static pthread_mutex_t s_typeLock = PTHREAD_MUTEX_INITIALIZER;

uint32_t wasm_rt_register_func_type(uint32_t params, uint32_t results, ...)
{
    const uint32_t count = params + results;
    FuncType *type = malloc(sizeof *type + count * sizeof(wasm_rt_type_t));
    if (!type)
        wasm_rt_trap((wasm_rt_trap_t)RNNOISE_TRAP_NO_MEMORY);
    type->params = params;
    type->results = results;
    va_list args;
    va_start(args, results);
    for (uint32_t i = 0; i < count; ++i)
        type->types[i] = va_arg(args, wasm_rt_type_t);
    va_end(args);

    pthread_mutex_lock(&s_typeLock);
    uint32_t index = 0;
    for (uint32_t i = 0; i < s_typeCount && !index; ++i) {
        const FuncType *known = s_types[i];
        if (known->params == params && known->results == results
            && !memcmp(known->types, type->types, count * sizeof(wasm_rt_type_t)))
            index = i + 1;
    }
    if (!index) {
        FuncType **grown = realloc(s_types, (s_typeCount + 1) * sizeof *grown);
        if (grown) {
            s_types = grown;
            s_types[s_typeCount] = type;
            index = ++s_typeCount;
            type = NULL;
        }
    }
    pthread_mutex_unlock(&s_typeLock);
    free(type);
    if (!index)
        wasm_rt_trap((wasm_rt_trap_t)RNNOISE_TRAP_NO_MEMORY);
    return index;
}

/* ---- linear memory ---- */

void wasm_rt_allocate_memory(wasm_rt_memory_t *memory, uint32_t initialPages, uint32_t maxPages)
{
    const uint64_t bytes = (uint64_t)initialPages * WasmPage;
    memory->data = NULL;
    memory->pages = memory->size = 0;
    memory->max_pages = maxPages;
    if (bytes > UINT32_MAX || initialPages > maxPages)
        wasm_rt_trap((wasm_rt_trap_t)RNNOISE_TRAP_NO_MEMORY);
    /* At least one byte, so that an empty memory still has an address. */
    memory->data = s_memory->allocate(bytes ? (size_t)bytes : 1);
    if (!memory->data)
        wasm_rt_trap((wasm_rt_trap_t)RNNOISE_TRAP_NO_MEMORY);
    memory->pages = initialPages;
    memory->size = (uint32_t)bytes;
}

uint32_t wasm_rt_grow_memory(wasm_rt_memory_t *memory, uint32_t delta)
{
    const uint32_t oldPages = memory->pages;
    const uint64_t newPages = (uint64_t)oldPages + delta;
    const uint64_t newSize = newPages * WasmPage;
    if (newPages > memory->max_pages || newSize > UINT32_MAX)
        return UINT32_MAX;
    if (delta == 0)
        return oldPages;
    uint8_t *data = s_memory->resize(memory->data, (size_t)newSize);
    if (!data)
        return UINT32_MAX;
    memset(data + memory->size, 0, (size_t)(newSize - memory->size));
    memory->data = data;
    memory->pages = (uint32_t)newPages;
    memory->size = (uint32_t)newSize;
    return oldPages;
}

void wasm_rt_free_memory(wasm_rt_memory_t *memory)
{
    if (memory->data)
        s_memory->release(memory->data);
    memory->data = NULL;
    memory->pages = memory->size = 0;
}

/* ---- tables ---- */

void wasm_rt_allocate_funcref_table(wasm_rt_funcref_table_t *table, uint32_t elements,
                                    uint32_t maxElements)
{
    table->size = 0;
    table->max_size = maxElements;
    table->data = calloc(elements ? elements : 1, sizeof *table->data);
    if (!table->data)
        wasm_rt_trap((wasm_rt_trap_t)RNNOISE_TRAP_NO_MEMORY);
    table->size = elements;
}

void wasm_rt_free_funcref_table(wasm_rt_funcref_table_t *table)
{
    free(table->data);
    table->data = NULL;
    table->size = 0;
}
