# Installs the tool like a Linux desktop application (executables, desktop entry, hicolor icons,
# AppStream metainfo, manual pages) and packs the same files into a Debian package:
#   cmake --install build [--prefix DIR]      or      cpack --config build/CPackConfig.cmake
# Included after src/, so the targets it installs are known.
include(GNUInstallDirs)

set(KORVEX_APP_ID bg.korvex.ReportManager)
set(KORVEX_PACKAGE_NAME korvex-report-manager)
set(KORVEX_HOMEPAGE "https://www.korvex.bg")
set(KORVEX_MAINTAINER "Korvex Report Manager maintainers <report-manager@korvex.bg>"
    CACHE STRING "Maintainer field of the Debian package")

set(KORVEX_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KORVEX_STAGED_DIR ${CMAKE_BINARY_DIR}/packaging)

# The executables that exist in this tree, each with its manual page in section 1.
set(KORVEX_EXECUTABLES korvex)
if(TARGET korvex-reports)
    list(APPEND KORVEX_EXECUTABLES korvex-reports)
endif()

install(TARGETS ${KORVEX_EXECUTABLES} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian keeps manual pages and changelogs gzip-compressed; -n keeps the output byte-identical
# from build to build.
function(korvex_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND gzip -9n -c ${source} > ${output}
        DEPENDS ${source}
        VERBATIM)
endfunction()

set(KORVEX_COMPRESSED)
foreach(executable IN LISTS KORVEX_EXECUTABLES)
    korvex_gzip(${KORVEX_PACKAGING_DIR}/man/${executable}.1 ${KORVEX_STAGED_DIR}/${executable}.1.gz)
    list(APPEND KORVEX_COMPRESSED ${KORVEX_STAGED_DIR}/${executable}.1.gz)
    install(FILES ${KORVEX_STAGED_DIR}/${executable}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

configure_file(${KORVEX_PACKAGING_DIR}/changelog.in ${KORVEX_STAGED_DIR}/changelog @ONLY)
korvex_gzip(${KORVEX_STAGED_DIR}/changelog ${KORVEX_STAGED_DIR}/changelog.Debian.gz)
list(APPEND KORVEX_COMPRESSED ${KORVEX_STAGED_DIR}/changelog.Debian.gz)
add_custom_target(korvex_packaging_data ALL DEPENDS ${KORVEX_COMPRESSED})

set(KORVEX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${KORVEX_PACKAGE_NAME})
install(FILES ${KORVEX_PACKAGING_DIR}/copyright ${KORVEX_STAGED_DIR}/changelog.Debian.gz
    DESTINATION ${KORVEX_DOC_DIR})

set(KORVEX_ICON_DIR ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${PROJECT_SOURCE_DIR}/resources/korvex.svg
    DESTINATION ${KORVEX_ICON_DIR}/scalable/apps RENAME ${KORVEX_APP_ID}.svg)
install(FILES ${PROJECT_SOURCE_DIR}/resources/korvex.png
    DESTINATION ${KORVEX_ICON_DIR}/64x64/apps RENAME ${KORVEX_APP_ID}.png)

# bash-completion loads a command's completion on its first Tab from this folder.
if(TARGET korvex-reports)
    install(FILES ${KORVEX_PACKAGING_DIR}/bash-completion/korvex-reports
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

if(TARGET korvex-reports)
    set(KORVEX_PROVIDES_REPORTS "\n    <binary>korvex-reports</binary>")
endif()
configure_file(${KORVEX_PACKAGING_DIR}/${KORVEX_APP_ID}.metainfo.xml.in
    ${KORVEX_STAGED_DIR}/${KORVEX_APP_ID}.metainfo.xml @ONLY)
install(FILES ${KORVEX_STAGED_DIR}/${KORVEX_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The desktop entry and its launcher name absolute paths, which only the install knows: the
# prefix given to `cmake --install --prefix`, or the package's /usr.
set(KORVEX_LAUNCHER_DIR ${CMAKE_INSTALL_LIBEXECDIR}/korvex)
install(CODE "
    set(KORVEX_BINARY \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/korvex\")
    set(KORVEX_LAUNCHER \"\${CMAKE_INSTALL_PREFIX}/${KORVEX_LAUNCHER_DIR}/korvex-desktop\")
    set(KORVEX_APP_ID ${KORVEX_APP_ID})
    configure_file(\"${KORVEX_PACKAGING_DIR}/korvex-desktop.in\"
        \"${KORVEX_STAGED_DIR}/installed/korvex-desktop\" @ONLY)
    configure_file(\"${KORVEX_PACKAGING_DIR}/${KORVEX_APP_ID}.desktop.in\"
        \"${KORVEX_STAGED_DIR}/installed/${KORVEX_APP_ID}.desktop\" @ONLY)
")
install(PROGRAMS ${KORVEX_STAGED_DIR}/installed/korvex-desktop DESTINATION ${KORVEX_LAUNCHER_DIR})
install(FILES ${KORVEX_STAGED_DIR}/installed/${KORVEX_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KORVEX_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR Korvex)
set(CPACK_PACKAGE_CONTACT ${KORVEX_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "desktop tool replacing the report templates kept in a Firebird database")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Revision 1 of the program's version 1.23.9.4: what makes changelog.Debian.gz its right name.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${KORVEX_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds the linked Qt and C++ libraries. It cannot see what is loaded at run time:
# the Firebird client library and the Qt platform plugins that draw the window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfbclient2, qt6-qpa-plugins")
# Without it a desktop launch falls back from the documents folder to the home folder.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-user-dirs)
file(READ ${KORVEX_PACKAGING_DIR}/description.txt CPACK_DEBIAN_PACKAGE_DESCRIPTION)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
