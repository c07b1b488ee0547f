# The Debian package: what `cmake --install` puts in place (bin/tolvex, the desktop entry, the
# hicolor icon), built from the release preset with `cpack -G DEB` in the build folder. The
# reference service has no install rule, so it never reaches the package.

set(TOLVEX_PACKAGE_MAINTAINER "Tolvex <support@tolvex.ru>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME "tolvex")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Tolvex")
set(CPACK_PACKAGE_CONTACT "${TOLVEX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Толвекс: запись встреч и митрепорт в Telegram")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Программа в трее записывает звук встречи (всё, что играет компьютер, и микрофон), "
    "сводит обе дорожки в один файл AAC и отправляет его в сервис Толвекс, который присылает "
    "митрепорт в Telegram.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")

set(CPACK_DEBIAN_PACKAGE_NAME "tolvex")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TOLVEX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TOLVEX_WEB_SITE_URL}")
# dpkg-shlibdeps (dpkg-dev) names the packages of the libraries the program links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the linker cannot see: the QML modules the screens import, and the SVG image plugin that
# draws the icons.
string(CONCAT CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-layouts, qml6-module-qtquick-templates, "
    "qml6-module-qtquick-shapes, qml6-module-qtquick-window, qml6-module-qtqml-workerscript, "
    "libqt6svg6")
# Services the program talks to at run time; any of their usual providers will do.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "xdg-utils, pulseaudio | pipewire-pulse, gnome-keyring | kwalletmanager | keepassxc")

include(CPack)
