# Cuts the definitions of the routines that native_kernels.inc provides out of
# the translated module; the first one cut makes way for the include.
# cmake -DIN=<translated.c> -DOUT=<patched.c> -DINCLUDE=<native_kernels.inc> -P native_kernels.cmake
file(READ ${IN} text)
# The tanh approximation's table address, a constant inside it.
string(FIND "${text}" " w2c_tansig_approx(Z_rnnoise_instance_t* instance" at)
string(SUBSTRING "${text}" ${at} 4000 tansig)
string(REGEX MATCH "w2c_i3 = ([0-9]+)u;\n  w2c_i2 \\+= w2c_i3;\n  w2c_f2 = f32_load" table "${tansig}")
if(at EQUAL -1 OR NOT table)
    message(FATAL_ERROR "no tanh table in ${IN}: the RNNoise package changed")
endif()
set(replacement "\n#define NATIVE_TANH_TABLE ${CMAKE_MATCH_1}u\n#include \"${INCLUDE}\"\n")
foreach(name w2c_compute_gru w2c_compute_dense w2c_celt_pitch_xcorr w2c_celt_inner_prod
        w2c_dual_inner_prod w2c_opus_fft_c w2c_tansig_approx w2c_sigmoid_approx w2c_relu)
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
