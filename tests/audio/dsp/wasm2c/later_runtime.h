/* A runtime interface with memory functions of another form. */
void wasm_rt_allocate_memory(wasm_rt_memory_t*, uint64_t initial_pages, uint64_t max_pages, bool is64);
uint64_t wasm_rt_grow_memory(wasm_rt_memory_t*, uint64_t pages);
