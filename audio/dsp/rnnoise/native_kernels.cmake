# Cuts the definitions of the routines that native_kernels.inc provides out of
# the translated module; the first one cut makes way for the include. Routine
# names are found from their declarations, whatever prefix (w2c_,
# w2c_rnnoise_) or escaping the wasm2c release gives them, and handed to the
# include as NATIVE_<routine>.
# cmake -DIN=<translated.c> -DOUT=<patched.c> -DINCLUDE=<native_kernels.inc>
#       -DNAMES=<rnnoise_names.h> -DVERSION=<wasm2c --version> -P native_kernels.cmake
file(READ ${IN} text)
file(READ ${NAMES} names)
string(REGEX MATCH "#define RNNOISE_MODULE_T ([A-Za-z0-9_]+)" found "${names}")
set(instance ${CMAKE_MATCH_1})
set(id "[A-Za-z0-9_]")

function(fail what)
    message(FATAL_ERROR "wasm2c ${VERSION}: ${what} in ${IN}; expected a declaration such as "
        "`static void w2c_compute_gru(${instance}*, u32, u32, u32);` (the module's debug names kept), "
        "or an RNNoise package other than the one scripts/setup installs")
endfunction()

set(defines "")
set(routines compute_gru compute_dense celt_pitch_xcorr celt_inner_prod dual_inner_prod opus_fft_c
    tansig_approx sigmoid_approx relu)
foreach(routine ${routines})
    string(REPLACE "_" "_+" pattern "${routine}")
    # <prefix>_<routine>, perhaps with a numeric suffix that keeps names unique.
    if(NOT text MATCHES "\nstatic [a-z0-9]+ (${id}*_${pattern}(_[0-9]+)?)\\(${instance}\\*[,)]")
        fail("no declaration of the routine ${routine}")
    endif()
    set(name_${routine} ${CMAKE_MATCH_1})
    string(APPEND defines "#define NATIVE_${routine} ${CMAKE_MATCH_1}\n")
endforeach()

# The tanh approximation's table address, a constant inside it.
string(FIND "${text}" " ${name_tansig_approx}(${instance}* instance" at)
if(at EQUAL -1)
    fail("no definition of ${name_tansig_approx}")
endif()
string(SUBSTRING "${text}" ${at} 4000 tansig)
set(reg "(w2c_|var_)")
if(NOT tansig MATCHES "${reg}i3 = ([0-9]+)u;\n  ${reg}i2 \\+= ${reg}i3;\n  ${reg}f2 = f32_load")
    fail("no tanh table address in ${name_tansig_approx}")
endif()
set(replacement "\n${defines}#define NATIVE_TANH_TABLE ${CMAKE_MATCH_2}u\n#include \"${INCLUDE}\"\n")
foreach(routine ${routines})
    # Only the definition names its parameters; it starts on its own line.
    string(FIND "${text}" " ${name_${routine}}(${instance}* instance" at)
    if(at EQUAL -1)
        fail("no definition of ${name_${routine}}")
    endif()
    string(SUBSTRING "${text}" 0 ${at} head)
    string(FIND "${head}" "\n" start REVERSE)
    string(SUBSTRING "${text}" ${start} -1 rest)
    string(FIND "${rest}" "\n}\n" length)
    math(EXPR end "${start} + ${length} + 2")
    string(SUBSTRING "${text}" 0 ${start} before)
    string(SUBSTRING "${text}" ${end} -1 after)
    set(text "${before}${replacement}${after}")
    set(replacement "")
endforeach()
file(WRITE ${OUT} "${text}")
