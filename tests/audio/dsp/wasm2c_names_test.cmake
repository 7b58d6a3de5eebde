# The build's reading of wasm2c output: the release in use, a later release's
# naming (synthetic files of that shape), and what it cannot read.
# cmake -DSOURCE=<repo> -DHEADER=<translated module.h> -DRUNTIME_HEADER=<wasm-rt.h> -DWORK=<dir> -P wasm2c_names_test.cmake
set(scripts ${SOURCE}/audio/dsp/rnnoise)
set(samples ${SOURCE}/tests/audio/dsp/wasm2c)
set(failures 0)

# names(<header> <runtime header> <out> <result var> <output var>)
function(names header runtime out result output)
    execute_process(COMMAND ${CMAKE_COMMAND} -DHEADER=${header} -DRUNTIME_HEADER=${runtime} -DVERSION=9.9.9
        -DOUT=${out} -P ${scripts}/wasm2c_names.cmake
        RESULT_VARIABLE code ERROR_VARIABLE error)
    string(REGEX REPLACE "[ \n]+" " " error "${error}")   # messages come wrapped
    set(${result} ${code} PARENT_SCOPE)
    set(${output} "${error}" PARENT_SCOPE)
endfunction()

# expect(<if() condition as one string> <what>)
function(expect condition what)
    cmake_language(EVAL CODE "
        if(${condition})
            message(STATUS \"PASS: ${what}\")
        else()
            message(SEND_ERROR \"FAIL: ${what}\")
        endif()")
endfunction()

function(expect_lines file)
    file(READ ${file} text)
    foreach(line ${ARGN})
        string(FIND "${text}" "${line}\n" at)
        if(at EQUAL -1)
            message(SEND_ERROR "FAIL: ${file} lacks `${line}`:\n${text}")
        else()
            message(STATUS "PASS: ${line}")
        endif()
    endforeach()
endfunction()

file(MAKE_DIRECTORY ${WORK})

# The release this build translates with.
names(${HEADER} ${RUNTIME_HEADER} ${WORK}/current.h code error)
expect("code EQUAL 0" "the current translation is read: ${error}")
expect_lines(${WORK}/current.h "#define RNNOISE_MODULE_T Z_rnnoise_instance_t"
    "#define RNNOISE_IMPORTS_T struct Z_a_instance_t" "#define RNNOISE_MEMORY(instance) ((instance)->w2c_c)"
    "#define RNNOISE_INIT_MODULE() Z_rnnoise_init_module()" "#define RNNOISE_PROCESS_FRAME Z_rnnoiseZ_j"
    "#define RNNOISE_RESIZE_HEAP Z_aZ_a")

# A later release's names.
names(${samples}/later_release.h ${RUNTIME_HEADER} ${WORK}/later.h code error)
expect("code EQUAL 0" "a later release's header is read: ${error}")
expect_lines(${WORK}/later.h "#define RNNOISE_MODULE_T w2c_rnnoise" "#define RNNOISE_IMPORTS_T struct w2c_a"
    "#define RNNOISE_MEMORY(instance) ((instance)->w2c_c)" "#define RNNOISE_INIT_MODULE() ((void)0)"
    "#define RNNOISE_INSTANTIATE wasm2c_rnnoise_instantiate" "#define RNNOISE_FREE wasm2c_rnnoise_free"
    "#define RNNOISE_RUN_CONSTRUCTORS w2c_rnnoise_d" "#define RNNOISE_CREATE w2c_rnnoise_f"
    "#define RNNOISE_MALLOC w2c_rnnoise_g" "#define RNNOISE_PROCESS_FRAME w2c_rnnoise_j"
    "#define RNNOISE_RESIZE_HEAP w2c_a_a" "#define RNNOISE_MEMCPY_BIG w2c_a_b")
# ... and its routines found for the native kernels.
execute_process(COMMAND ${CMAKE_COMMAND} -DIN=${samples}/later_release.c -DOUT=${WORK}/later_native.c
    -DINCLUDE=native_kernels.inc -DNAMES=${WORK}/later.h -DVERSION=9.9.9 -P ${scripts}/native_kernels.cmake
    RESULT_VARIABLE code ERROR_VARIABLE error)
string(REGEX REPLACE "[ \n]+" " " error "${error}")
expect("code EQUAL 0" "a later release's routines are found: ${error}")
if(code EQUAL 0)
    expect_lines(${WORK}/later_native.c "#define NATIVE_compute_gru w2c_rnnoise_compute__gru"
        "#define NATIVE_celt_pitch_xcorr w2c_rnnoise_celt__pitch__xcorr_0"
        "#define NATIVE_opus_fft_c w2c_rnnoise_opus__fft__c" "#define NATIVE_TANH_TABLE 2048u")
    file(READ ${WORK}/later_native.c native)
    string(FIND "${native}" "w2c_rnnoise_compute__gru(w2c_rnnoise* instance" kept)
    string(FIND "${native}" "u32 w2c_rnnoise_f(w2c_rnnoise* instance" export)
    expect("kept EQUAL -1 AND NOT export EQUAL -1" "the routines are cut out and nothing else")
endif()

# What cannot be read names the version and what was expected.
names(${samples}/unknown.h ${RUNTIME_HEADER} ${WORK}/unknown.h code error)
string(FIND "${error}" "wasm2c 9.9.9: no module instance type" named)
string(FIND "${error}" "Expected the declarations of wasm2c 1.0.32" expected)
expect("NOT code EQUAL 0 AND NOT named EQUAL -1 AND NOT expected EQUAL -1" "an unknown header is refused: ${error}")
names(${HEADER} ${samples}/later_runtime.h ${WORK}/runtime.h code error)
string(FIND "${error}" "wasm2c 9.9.9: its runtime interface" named)
string(FIND "${error}" "lacks `void wasm_rt_allocate_memory(wasm_rt_memory_t*, uint32_t initial_pages" expected)
expect("NOT code EQUAL 0 AND NOT named EQUAL -1 AND NOT expected EQUAL -1" "another runtime interface is refused: ${error}")
