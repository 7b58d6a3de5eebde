# Helpers shared by every folder.

# Flags for hot per-frame and per-block code. The AVX2 variants get their own
# files built with -mavx2 -mfma and are chosen at run time.
set(TALVENTO_HOT_FLAGS -O3 -fno-math-errno -fno-trapping-math)
set(TALVENTO_AVX2_FLAGS -mavx2 -mfma)

# talvento_hot_sources(<target> <files>...): build files with the hot-path flags.
function(talvento_hot_sources target)
    target_sources(${target} PRIVATE ${ARGN})
    set_source_files_properties(${ARGN} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "${TALVENTO_HOT_FLAGS}")
endfunction()

# talvento_avx2_sources(<target> <files>...): hot files that are AVX2/FMA variants.
function(talvento_avx2_sources target)
    target_sources(${target} PRIVATE ${ARGN})
    set_source_files_properties(${ARGN} TARGET_DIRECTORY ${target}
        PROPERTIES COMPILE_OPTIONS "${TALVENTO_HOT_FLAGS};${TALVENTO_AVX2_FLAGS}")
endfunction()

# talvento_add_test(<name> SOURCES <files>... LIBS <libs>... [ENV <k=v>...] [LABELS <labels>...] [TIMEOUT s])
# One QtTest executable per class, run by CTest offscreen.
function(talvento_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
    add_test(NAME ${name} COMMAND ${name})
    # A private configuration and temporary directory per test: no test reads or writes the
    # user's settings or autostart entries, and no two tests share the single-instance lock.
    set(home ${CMAKE_CURRENT_BINARY_DIR}/${name}.home)
    file(MAKE_DIRECTORY ${home}/config ${home}/tmp)
    set(env "QT_QPA_PLATFORM=offscreen" "TALVENTO_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
        "XDG_CONFIG_HOME=${home}/config" "TMPDIR=${home}/tmp" ${T_ENV})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# talvento_add_benchmark(<name> SOURCES <files>... LIBS <libs>...): built, never run by CTest.
function(talvento_add_benchmark name)
    cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
    if(NOT TARGET benchmark::benchmark)
        return()
    endif()
    add_executable(${name} ${B_SOURCES})
    target_link_libraries(${name} PRIVATE benchmark::benchmark benchmark::benchmark_main ${B_LIBS})
    target_compile_options(${name} PRIVATE ${TALVENTO_HOT_FLAGS})
endfunction()
