# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package, built by `make package` (CPack) from the install rules of
# SvwInstall.cmake.

set(SVW_PACKAGE_MAINTAINER "Solvane Veilwire developers <maintainers@users.noreply.c-seed-bc102b77.example>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME svw)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR SVWbeta)
set(CPACK_PACKAGE_CONTACT "${SVW_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "private conversation inside a public chat room")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SVW_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The extended description; CPack puts the summary line above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Every member of a group runs SVW (Solvane Veilwire) in the same chat room
and all agree on a password and a five-character prefix. A typed line is
enciphered with the password, put behind the prefix and said into the room;
every member's copy picks out the lines with that prefix, deciphers them and
shows them behind the sender's name. Rooms are a room on this machine or an
IRC channel, plain or over TLS.
.
The group's lines can also be sealed: a key made from the password with
Argon2id and every line sealed with XChaCha20-Poly1305 (libsodium), so that
nobody without the password can read, alter or replay them. Sealing is off
at every start. The old cipher, the default, only hides lines from casual
readers of the room: it is not strong encryption.")

# Libraries the program and the plugin link are found by dpkg-shlibdeps, and with
# the web engine's library comes its helper program (libqt6webenginecore6-bin,
# named in that library's shlibs). Qt's SVG plugins are loaded at run time and
# linked by nothing, so they are named here: the icon engine and image plugin
# that draw the program's icon and the web window's toolbar pictures.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, fonts-symbola")

set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/temp$" "/Got$" "/message$")

include(CPack)
