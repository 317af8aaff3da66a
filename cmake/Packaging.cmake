# The Debian package of the two front ends (cpack -G DEB, scripts/package.sh):
# the programs, the desktop entry and icons, the AppStream metainfo, the
# manual pages and the documents Debian asks for. The virtual device and the
# other tools stay out: they are test doubles and benches, not for operators.
include(GNUInstallDirs)

set(CORVANE_DIST_DIR ${PROJECT_SOURCE_DIR}/dist)
set(CORVANE_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/corvane)

# Bumping the project's version needs a changelog entry and a release in the
# metainfo: the package states both.
file(STRINGS ${CORVANE_DIST_DIR}/debian/changelog _corvane_changelog_head LIMIT_COUNT 1)
if(NOT _corvane_changelog_head MATCHES "^corvane \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "dist/debian/changelog does not start with version ${PROJECT_VERSION}")
endif()
file(READ ${CORVANE_DIST_DIR}/linux/io.github.corvane.Corvane.metainfo.xml _corvane_metainfo)
if(NOT _corvane_metainfo MATCHES "<release version=\"${PROJECT_VERSION}\"")
    message(FATAL_ERROR "dist/linux/io.github.corvane.Corvane.metainfo.xml has no release ${PROJECT_VERSION}")
endif()

install(TARGETS corvane corvanectl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# bash-completion loads it by the command's name when the command is first completed.
install(FILES ${CORVANE_DIST_DIR}/linux/corvanectl.bash-completion DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
        RENAME corvanectl)
install(FILES ${CORVANE_DIST_DIR}/linux/corvane.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${CORVANE_DIST_DIR}/linux/io.github.corvane.Corvane.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
foreach(size 16 24 32 48 64 128 256)
    install(FILES ${CORVANE_DIST_DIR}/linux/icons/${size}x${size}/corvane.png
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/ui/artwork/icon_app.svg DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps
        RENAME corvane.svg)

# Debian's copyright file in its machine-readable form, the licence's text as
# its body (blank lines as " .").
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE _corvane_license_lines)
set(CORVANE_LICENSE_TEXT "")
foreach(line IN LISTS _corvane_license_lines)
    if(line STREQUAL "")
        string(APPEND CORVANE_LICENSE_TEXT " .\n")
    else()
        string(APPEND CORVANE_LICENSE_TEXT " ${line}\n")
    endif()
endforeach()
string(REGEX REPLACE "\n$" "" CORVANE_LICENSE_TEXT "${CORVANE_LICENSE_TEXT}")
configure_file(${CORVANE_DIST_DIR}/debian/copyright.in ${PROJECT_BINARY_DIR}/package/copyright @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/copyright ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CORVANE_DOC_DIR})

# Manual pages and the changelog compressed as Debian wants them: gzip -9
# without the name and time stamp, so that the package is reproducible.
set(_corvane_gzipped "")
foreach(pair "docs/corvane.1;man/corvane.1.gz" "docs/corvanectl.1;man/corvanectl.1.gz"
             "dist/debian/changelog;package/changelog.gz")
    list(GET pair 0 source)
    list(GET pair 1 output)
    # Ninja makes an output's folder itself; other generators do not.
    get_filename_component(folder ${PROJECT_BINARY_DIR}/${output} DIRECTORY)
    add_custom_command(
        OUTPUT ${PROJECT_BINARY_DIR}/${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
        COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${PROJECT_SOURCE_DIR}/${source} ${PROJECT_BINARY_DIR}/${output}
        DEPENDS ${PROJECT_SOURCE_DIR}/${source}
        VERBATIM)
    list(APPEND _corvane_gzipped ${PROJECT_BINARY_DIR}/${output})
endforeach()
add_custom_target(corvane_package_files ALL DEPENDS ${_corvane_gzipped})
install(FILES ${PROJECT_BINARY_DIR}/man/corvane.1.gz ${PROJECT_BINARY_DIR}/man/corvanectl.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/package/changelog.gz DESTINATION ${CORVANE_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Corvane developers <corvane@example.org>")
set(CPACK_PACKAGE_VENDOR "The Corvane developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find and update the networked devices of one product family")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Corvane developers <corvane@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries the programs link are found by dpkg-shlibdeps, and with Qt
# GUI's the plugins it ships (xcb, offscreen, JPEG) and with Qt Network's its
# TLS backend. What no linker sees are the QML modules the views import and
# those they pull in (Controls' Basic style from Templates, the file dialog's
# folder model); Wayland without XWayland needs Qt's Wayland plugin.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtqml, qml6-module-qtqml-models, qml6-module-qtqml-workerscript, qml6-module-qtquick, qml6-module-qtquick-window, qml6-module-qtquick-templates, qml6-module-qtquick-controls, qml6-module-qtquick-dialogs, qml6-module-qtquick-layouts, qml6-module-qt-labs-qmlmodels, qml6-module-qt-labs-folderlistmodel, qml6-module-qtcore"
)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS qt6-wayland)
# The synopsis comes from the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Corvane finds the networked devices of one product family on a local
network, logs in to them and shows their state live in a window. In one
batch an operator updates the firmware of the checked devices, imports a
configuration file or replaces their standby-screen image; busy devices are
skipped and each device's result is shown.
.
corvanectl does the same work from a terminal or a script, with progress,
reports in JSON or CSV and exit statuses.")
include(CPack)
