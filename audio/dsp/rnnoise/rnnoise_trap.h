/* Force-included into the WebAssembly runtime so that its traps unwind to the
 * thread that raised them instead of one process-wide jump buffer. */
#pragma once
#define WASM_RT_TRAP_HANDLER rnnoise_wasm_trap
void rnnoise_wasm_trap(int code) __attribute__((noreturn));
