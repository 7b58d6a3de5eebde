# Reads the header that wasm2c wrote for the RNNoise module and writes the names
# our glue uses (rnnoise_instance.h, rnnoise_wasm.c, native_kernels.inc): the
# instance and import types, the memory field, instantiation, and the exports
# and imports by their names in the module. wasm2c 1.0.32 (Debian 12) says
# Z_rnnoise_instance_t, Z_rnnoise_instantiate, Z_rnnoiseZ_<export>,
# Z_aZ_<import>; later releases say w2c_rnnoise, wasm2c_rnnoise_instantiate,
# w2c_rnnoise_<export>, w2c_a_<import>. Nothing here assumes either: every name
# is read from the declarations. The runtime interface (wasm-rt.h) must be the
# one rnnoise_runtime.c implements; that is checked too.
# cmake -DHEADER=<module.h> -DRUNTIME_HEADER=<wasm-rt.h> -DVERSION=<wasm2c --version>
#       -DOUT=<names.h> -P wasm2c_names.cmake
set(expected_naming "the declarations of wasm2c 1.0.32 (Z_rnnoise_instance_t, Z_rnnoise_instantiate, \
Z_rnnoiseZ_<export>, Z_aZ_<import>) or of later releases (w2c_rnnoise, wasm2c_rnnoise_instantiate, \
w2c_rnnoise_<export>, w2c_a_<import>)")

function(fail what)
    message(FATAL_ERROR "wasm2c ${VERSION}: ${what} in ${HEADER}. Expected ${expected_naming}.")
endfunction()

file(READ ${HEADER} header)
set(id "[A-Za-z_][A-Za-z0-9_]*")

# typedef struct <instance> { ... } <instance>;
if(NOT header MATCHES "typedef struct (${id}) {([^}]*)} (${id});")
    fail("no module instance type")
endif()
set(instance ${CMAKE_MATCH_3})
set(fields "${CMAKE_MATCH_2}")
if(NOT fields MATCHES "wasm_rt_memory_t (${id});")
    fail("no linear memory in ${instance}")
endif()
set(memory ${CMAKE_MATCH_1})

# void <instantiate>(<instance>*, struct <imports>*);  void <free>(<instance>*);
if(NOT header MATCHES "void (${id})\\(${instance}\\*, struct (${id})\\*\\);")
    fail("no instantiation of ${instance} with one import module")
endif()
set(instantiate ${CMAKE_MATCH_1})
set(imports ${CMAKE_MATCH_2})
if(NOT header MATCHES "void (${id}free)\\(${instance}\\*\\);")
    fail("no function that frees ${instance}")
endif()
set(free ${CMAKE_MATCH_1})
# Only older releases have a module-wide initialisation.
set(init_module "((void)0)")
if(header MATCHES "void (${id}init_module)\\(void\\);")
    set(init_module "${CMAKE_MATCH_1}()")
endif()

# /* export: 'j' */ followed by its declaration, and the same for imports.
function(declared kind key out)
    string(REPLACE "'" "" label "${key}")
    string(REGEX REPLACE "([][.*+?^$()|{}\\\\])" "\\\\\\1" pattern "/* ${kind}: ${key} */")
    if(NOT header MATCHES "${pattern}\n[^\n(]* \\**(${id})\\(")
        fail("no ${kind} '${label}'")
    endif()
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()
declared(export "'d'" ctors)
declared(export "'f'" create)
declared(export "'g'" malloc)
declared(export "'j'" process)
declared(import "'a' 'a'" resize_heap)
declared(import "'a' 'b'" memcpy_big)

# The runtime functions whose form rnnoise_runtime.c is written for.
file(READ ${RUNTIME_HEADER} runtime)
string(REGEX REPLACE "[ \n]+" " " runtime "${runtime}")
foreach(form "void wasm_rt_allocate_memory(wasm_rt_memory_t*, uint32_t initial_pages, uint32_t max_pages);"
        "uint32_t wasm_rt_grow_memory(wasm_rt_memory_t*, uint32_t pages);"
        "void wasm_rt_allocate_funcref_table(wasm_rt_funcref_table_t*, uint32_t elements, uint32_t max_elements);")
    string(FIND "${runtime}" "${form}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "wasm2c ${VERSION}: its runtime interface ${RUNTIME_HEADER} lacks `${form}`, "
            "which rnnoise_runtime.c implements (the interface of wasm2c 1.0.32).")
    endif()
endforeach()

file(WRITE ${OUT} "/* Written by wasm2c_names.cmake from ${HEADER} (wasm2c ${VERSION}). */
#pragma once
#define RNNOISE_MODULE_T ${instance}
#define RNNOISE_IMPORTS_T struct ${imports}
#define RNNOISE_MEMORY(instance) ((instance)->${memory})
#define RNNOISE_INIT_MODULE() ${init_module}
#define RNNOISE_INSTANTIATE ${instantiate}
#define RNNOISE_FREE ${free}
#define RNNOISE_RUN_CONSTRUCTORS ${ctors}
#define RNNOISE_CREATE ${create}
#define RNNOISE_MALLOC ${malloc}
#define RNNOISE_PROCESS_FRAME ${process}
#define RNNOISE_RESIZE_HEAP ${resize_heap}
#define RNNOISE_MEMCPY_BIG ${memcpy_big}
")
