# The Debian package, built by scripts/package:
# build/tessik-update-tool_<version>_<arch>.deb
set(TESSIK_PACKAGE_MAINTAINER "tessik-update-tool maintainers <maintainers@tessik-update-tool.invalid>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessik-update-tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tessik-update-tool developers")
set(CPACK_PACKAGE_CONTACT ${TESSIK_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "write firmware images into Wi-Fi modules over serial ports")
set(CPACK_PACKAGE_DESCRIPTION
"tessik-update-tool writes a new firmware image into Wi-Fi modules attached
to the computer by USB serial adapters. It finds each module's baud rate,
brings the module into its boot loader with AT commands and sends the image
with XMODEM, on up to eight ports one after another or in parallel.

It has a window for the operator and a headless mode with JSON Lines output
for production lines. The package also holds tessik-module-sim, a simulated
module on a pseudo-terminal for trying the tool without hardware.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TESSIK_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from dpkg-shlibdeps (package dpkg-dev): the Qt 5 libraries the
# programs link, at the versions of the machine that built the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window system plugins (xcb, offscreen) that the tool loads at run time
# are in libqt5gui5; the programs do not link it directly, so dpkg-shlibdeps
# cannot see that need.
# Likewise the SQLite driver of Qt SQL (libqt5sql5-sqlite), which the
# history database is opened with, and libpq5, opened to read a connection
# string.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libqt5gui5 (>= ${Qt5Gui_VERSION_MAJOR}.${Qt5Gui_VERSION_MINOR}), libqt5sql5-sqlite, libpq5")
# The central history database (--central-db) needs Qt's PostgreSQL driver;
# the window's Chinese texts need a CJK font, which a desktop may lack (its
# message boxes then show empty squares).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt5sql5-psql, fonts-noto-cjk | fonts-wqy-microhei")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/")

include(CPack)
