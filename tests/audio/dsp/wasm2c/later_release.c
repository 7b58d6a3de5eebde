/* The shape of a later wasm2c release's translation: prefixed routine names, var_ registers. */
#include "rnnoise_module.h"

static f32 w2c_rnnoise_tansig__approx(w2c_rnnoise*, f32);
static f32 w2c_rnnoise_sigmoid__approx(w2c_rnnoise*, f32);
static f32 w2c_rnnoise_relu(w2c_rnnoise*, f32);
static void w2c_rnnoise_compute__gru(w2c_rnnoise*, u32, u32, u32);
static void w2c_rnnoise_compute__dense(w2c_rnnoise*, u32, u32, u32);
static void w2c_rnnoise_celt__pitch__xcorr_0(w2c_rnnoise*, u32, u32, u32, u32, u32);
static f32 w2c_rnnoise_celt__inner__prod(w2c_rnnoise*, u32, u32, u32);
static void w2c_rnnoise_dual__inner__prod(w2c_rnnoise*, u32, u32, u32, u32, u32);
static void w2c_rnnoise_opus__fft__c(w2c_rnnoise*, u32, u32, u32);

static f32 w2c_rnnoise_tansig__approx(w2c_rnnoise* instance, f32 var_p0) {
  u32 var_i2, var_i3;
  f32 var_f2;
  var_i3 = 2048u;
  var_i2 += var_i3;
  var_f2 = f32_load(&instance->w2c_c, (u64)(var_i2));
  return var_f2;
}
static f32 w2c_rnnoise_sigmoid__approx(w2c_rnnoise* instance, f32 var_p0) {
  return var_p0;
}
static f32 w2c_rnnoise_relu(w2c_rnnoise* instance, f32 var_p0) {
  return var_p0;
}
static void w2c_rnnoise_compute__gru(w2c_rnnoise* instance, u32 var_p0, u32 var_p1, u32 var_p2) {
}
static void w2c_rnnoise_compute__dense(w2c_rnnoise* instance, u32 var_p0, u32 var_p1, u32 var_p2) {
}
static void w2c_rnnoise_celt__pitch__xcorr_0(w2c_rnnoise* instance, u32 var_p0, u32 var_p1, u32 var_p2, u32 var_p3, u32 var_p4) {
}
static f32 w2c_rnnoise_celt__inner__prod(w2c_rnnoise* instance, u32 var_p0, u32 var_p1, u32 var_p2) {
  return 0;
}
static void w2c_rnnoise_dual__inner__prod(w2c_rnnoise* instance, u32 var_p0, u32 var_p1, u32 var_p2, u32 var_p3, u32 var_p4) {
}
static void w2c_rnnoise_opus__fft__c(w2c_rnnoise* instance, u32 var_p0, u32 var_p1, u32 var_p2) {
}
u32 w2c_rnnoise_f(w2c_rnnoise* instance, u32 var_p0) {
  return 0;
}
