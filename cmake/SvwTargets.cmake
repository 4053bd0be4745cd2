# SPDX-License-Identifier: GPL-3.0-or-later
# Settings every target of our own shares, and the way tests are declared.

if(SVW_FUZZ)
    # Coverage for libFuzzer in every library the targets link.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(SVW_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
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

# svw_add_qtest(NAME SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
# Builds a QtTest executable and runs it through CTest without a display.
function(svw_add_qtest name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
    svw_strict(${name})
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    # A private runtime directory of the test's own in the build tree: without one
    # Qt makes /tmp/runtime-<user>, and a local room /tmp/svw-<uid>.
    set(runtime ${CMAKE_BINARY_DIR}/test-runtime/${name})
    file(MAKE_DIRECTORY ${runtime})
    file(CHMOD ${runtime} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        LABELS "${T_LABELS}"
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTWEBENGINE_DISABLE_SANDBOX=1;XDG_RUNTIME_DIR=${runtime};ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp;UBSAN_OPTIONS=print_stacktrace=1")
endfunction()
