# SPDX-License-Identifier: GPL-3.0-or-later
# Where an installed SVW lives: the program, its web window plugin, the manual
# page, the documents Debian asks for, the desktop entry, the AppStream metadata
# and the icon in the sizes desktops look for. Included once all targets exist.

include(GNUInstallDirs)

# The program looks for the plugin in its own folder, then in ../lib/svw/plugins
# from it (WebWindowLoader::defaultPluginDirs). That folder follows from the
# program's own, not from CMAKE_INSTALL_LIBDIR: a multiarch
# lib/x86_64-linux-gnu/svw would not be found. It is a folder below lib/svw
# because Debian's packaging adds ldconfig calls for a library in lib/NAME, and
# a private plugin has no business in the linker's cache.
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    message(FATAL_ERROR "CMAKE_INSTALL_BINDIR must be relative to the prefix: the web window "
                        "plugin is installed relative to it")
endif()
cmake_path(GET CMAKE_INSTALL_BINDIR PARENT_PATH svw_bin_parent)
cmake_path(APPEND svw_bin_parent lib svw plugins OUTPUT_VARIABLE SVW_INSTALL_PLUGINDIR)

install(TARGETS svw RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS svw_web_window_plugin LIBRARY DESTINATION ${SVW_INSTALL_PLUGINDIR})

# Stripping leaves the compilers' .comment section (their version strings) in
# both binaries; Debian's own packaging removes it when it strips, so a
# stripped install (the package) does the same.
install(
    CODE "if(CMAKE_INSTALL_DO_STRIP)
    foreach(binary \"${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:svw>\"
                   \"${SVW_INSTALL_PLUGINDIR}/$<TARGET_FILE_NAME:svw_web_window_plugin>\")
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${binary}\"
                        COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
endif()")

# The manual page, the changelog and the README are installed compressed
# (gzip -9n: no name or time stamp, so the package is the same from one build
# to the next).
find_program(SVW_GZIP gzip REQUIRED)
set(svw_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/svw)
set(svw_gzipped)
foreach(pair "docs/svw.1:svw.1.gz" "packaging/changelog:changelog.gz" "packaging/README:README.gz")
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 source)
    list(GET pair 1 gz)
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/${gz}
        COMMAND sh -c "${SVW_GZIP} -9nc \"$1\" > \"$2\"" sh ${PROJECT_SOURCE_DIR}/${source}
                ${CMAKE_BINARY_DIR}/${gz}
        DEPENDS ${PROJECT_SOURCE_DIR}/${source}
        COMMENT "Compressing ${source}"
        VERBATIM)
    list(APPEND svw_gzipped ${CMAKE_BINARY_DIR}/${gz})
endforeach()
add_custom_target(svw_docs ALL DEPENDS ${svw_gzipped})
install(FILES ${CMAKE_BINARY_DIR}/svw.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The user's README, not the developers' one with its build steps and pictures.
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz ${CMAKE_BINARY_DIR}/README.gz
              ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${svw_doc_dir})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/example.c_seed_bc102b77.svw.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/svw.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# The icon: the drawing itself as the scalable one, and PNGs rendered from it in
# the fixed sizes of the hicolor theme for desktops that do not scale SVG.
set(svw_icon_root ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${PROJECT_SOURCE_DIR}/resources/svw.svg DESTINATION ${svw_icon_root}/scalable/apps)

find_program(SVW_RSVG_CONVERT rsvg-convert)
if(SVW_RSVG_CONVERT)
    set(svw_icon_pngs)
    foreach(size 16 22 24 32 48 64 128 256)
        set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/svw.png)
        add_custom_command(
            OUTPUT ${png}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
            COMMAND ${SVW_RSVG_CONVERT} --width ${size} --height ${size} --format png
                    --output ${png} ${PROJECT_SOURCE_DIR}/resources/svw.svg
            DEPENDS ${PROJECT_SOURCE_DIR}/resources/svw.svg
            COMMENT "Rendering the ${size} x ${size} icon"
            VERBATIM)
        list(APPEND svw_icon_pngs ${png})
        install(FILES ${png} DESTINATION ${svw_icon_root}/${size}x${size}/apps)
    endforeach()
    add_custom_target(svw_icons ALL DEPENDS ${svw_icon_pngs})
else()
    # Without the renderer the drawn 32 x 32 picture is the only fixed size.
    message(WARNING "rsvg-convert (Debian package librsvg2-bin, see scripts/install-deps) "
                    "was not found: only the 32 x 32 icon is installed besides the SVG")
    install(FILES ${PROJECT_SOURCE_DIR}/resources/svw.png DESTINATION ${svw_icon_root}/32x32/apps)
endif()
