# Cuts the definitions of the routines that native_kernels.inc provides out of
# the translated module; the first one cut makes way for the include.
# cmake -DIN=<translated.c> -DOUT=<patched.c> -DINCLUDE=<native_kernels.inc> -P native_kernels.cmake
file(READ ${IN} text)
set(replacement "\n#include \"${INCLUDE}\"\n")
foreach(name w2c_compute_gru w2c_compute_dense w2c_celt_pitch_xcorr w2c_celt_inner_prod
        w2c_dual_inner_prod)
    # Only the definition names its parameters; it starts on its own line.
    string(FIND "${text}" " ${name}(Z_rnnoise_instance_t* instance" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${name} is not defined in ${IN}: the RNNoise package changed")
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
