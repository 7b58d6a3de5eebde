/* The shape of a later wasm2c release's header for the same module. */
#ifndef RNNOISE_MODULE_H_GENERATED_
#define RNNOISE_MODULE_H_GENERATED_

#include "wasm-rt.h"

struct w2c_a;

typedef struct w2c_rnnoise {
  struct w2c_a* w2c_a_instance;
  u32 w2c_g0;
  wasm_rt_memory_t w2c_c;
  wasm_rt_funcref_table_t w2c_k;
} w2c_rnnoise;

void wasm2c_rnnoise_instantiate(w2c_rnnoise*, struct w2c_a*);
void wasm2c_rnnoise_free(w2c_rnnoise*);
wasm_rt_func_type_t wasm2c_rnnoise_get_func_type(uint32_t param_count, uint32_t result_count, ...);

/* import: 'a' 'a' */
u32 w2c_a_a(struct w2c_a*, u32);

/* import: 'a' 'b' */
void w2c_a_b(struct w2c_a*, u32, u32, u32);

/* export: 'c' */
wasm_rt_memory_t* w2c_rnnoise_c(w2c_rnnoise* instance);

/* export: 'd' */
void w2c_rnnoise_d(w2c_rnnoise*);

/* export: 'f' */
u32 w2c_rnnoise_f(w2c_rnnoise*, u32);

/* export: 'g' */
u32 w2c_rnnoise_g(w2c_rnnoise*, u32);

/* export: 'j' */
f32 w2c_rnnoise_j(w2c_rnnoise*, u32, u32, u32);

#endif
