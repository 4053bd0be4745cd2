# SPDX-License-Identifier: GPL-3.0-or-later
# Settings every target of our own shares, and the way tests are declared.

if(SVW_FUZZ)
    # Coverage for libFuzzer in every library the targets link. -O1 with line
    # tables is what libFuzzer's own guide builds with, and it builds far faster
    # than -O2 with full debug information.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined -O1 -gline-tables-only)
    add_link_options(-fsanitize=address,undefined)
elseif(SVW_SANITIZE)
    # Line tables are all a sanitizer's report needs, at a fraction of the cost
    # of full debug information.
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined -g1)
    add_link_options(-fsanitize=address,undefined)
endif()

# Release builds carry the hardening Debian builds its packages with
# (dpkg-buildflags with hardening=+all); written out rather than asked of
# dpkg-buildflags, so that building needs nothing of Debian's packaging tools.
# _FORTIFY_SOURCE needs the optimiser, hence not in Debug builds; the sanitizer
# and fuzz builds have their own instrumentation.
option(SVW_HARDEN "Debian's hardening flags on optimised builds" ON)
if(SVW_HARDEN AND NOT SVW_SANITIZE AND NOT SVW_FUZZ
   AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    add_compile_definitions(_FORTIFY_SOURCE=2)
    add_compile_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection
                        -Wformat -Werror=format-security)
    add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()

# Warnings are errors in our own code; Qt's headers come in as system headers.
function(svw_strict target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# What every test program shares: the Qt modules it links, its flags, and one
# precompiled header a folder. Parsing Qt's headers was most of the time spent
# building the tests, and a header can only be shared between programs whose
# definitions agree: QtTest's headers ask for QtNetwork, so every test links it.
# Test programs are not shipped: the optimiser buys them nothing, and line
# tables are enough for a failing test's backtrace.
function(svw_test_program target)
    target_link_libraries(${target} PRIVATE Qt6::Test Qt6::Network)
    target_compile_options(${target} PRIVATE
        $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-O1> $<$<CONFIG:Debug,RelWithDebInfo>:-g1>)
    svw_strict(${target})
    get_directory_property(owner SVW_TEST_PCH_OWNER)
    if(owner)
        target_precompile_headers(${target} REUSE_FROM ${owner})
    else()
        target_precompile_headers(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/test_precompiled.h)
        set_directory_properties(PROPERTIES SVW_TEST_PCH_OWNER ${target})
    endif()
    # The tests include their own moc output, which leaves this file all but empty:
    # loading the header into it would cost more than the file itself.
    set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${target}_autogen/mocs_compilation.cpp
                                PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
endfunction()

# svw_add_qtest(NAME SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [COST s])
# Builds a QtTest executable and runs it through CTest without a display. COST,
# the seconds the test usually takes, starts the long ones first when no earlier
# run has told CTest their times: a long test started last keeps the whole run
# waiting on it alone.
function(svw_add_qtest name)
    cmake_parse_arguments(T "" "TIMEOUT;COST" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS})
    svw_test_program(${name})
    # A sanitizer build does not run these (its test run leaves the label out), so
    # it need not build them either.
    if(SVW_SANITIZE AND "no-sanitizer" IN_LIST T_LABELS)
        set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL ON)
        return()
    endif()
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    # A private runtime directory of the test's own in the build tree: without one
    # Qt makes /tmp/runtime-<user>, and a local room /tmp/svw-<uid>.
    set(runtime ${CMAKE_BINARY_DIR}/test-runtime/${name})
    file(MAKE_DIRECTORY ${runtime})
    file(CHMOD ${runtime} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    if(NOT T_COST)
        set(T_COST 0)
    endif()
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        COST ${T_COST}
        LABELS "${T_LABELS}"
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTWEBENGINE_DISABLE_SANDBOX=1;XDG_RUNTIME_DIR=${runtime};ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp;UBSAN_OPTIONS=print_stacktrace=1")
endfunction()
