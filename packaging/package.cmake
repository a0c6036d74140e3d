# Debian package: the program with its menu entry, metainfo, icon, manual page
# and the launcher that gives a menu-started program a folder for log.log.
# Build it with `cpack -G DEB` (or the `package` target) in a build directory.
if(WIN32)
  return()
endif()

set(TARSEL_APP_ID io.github.tarsel.TarselTranslator)
set(TARSEL_PACKAGE_MAINTAINER "Tarsel Translator developers <tarsel@users.noreply.github.com>"
    CACHE STRING "Maintainer field of the Debian package")

set(_tarsel_pkg_src "${CMAKE_CURRENT_LIST_DIR}")
set(_tarsel_pkg_out "${CMAKE_BINARY_DIR}/packaging")

# Made at install time: the menu entry names the launcher by its absolute path,
# which depends on the prefix actually installed to (/usr inside the package).
install(CODE "
  configure_file(\"${_tarsel_pkg_src}/${TARSEL_APP_ID}.desktop.in\"
                 \"${_tarsel_pkg_out}/${TARSEL_APP_ID}.desktop\" @ONLY)
  foreach(doc changelog tarsel-translator.1)
    execute_process(COMMAND gzip -9nc \"${_tarsel_pkg_src}/\${doc}\"
                    OUTPUT_FILE \"${_tarsel_pkg_out}/\${doc}.gz\" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
")
install(PROGRAMS "${_tarsel_pkg_src}/launch.sh"
        DESTINATION libexec/tarsel-translator RENAME launch)
install(FILES "${_tarsel_pkg_out}/${TARSEL_APP_ID}.desktop" DESTINATION share/applications)
install(FILES "${_tarsel_pkg_src}/${TARSEL_APP_ID}.metainfo.xml" DESTINATION share/metainfo)
install(FILES "${_tarsel_pkg_src}/${TARSEL_APP_ID}.svg"
        DESTINATION share/icons/hicolor/scalable/apps)
install(FILES "${_tarsel_pkg_out}/tarsel-translator.1.gz" DESTINATION share/man/man1)
install(FILES "${_tarsel_pkg_src}/copyright" "${_tarsel_pkg_out}/changelog.gz"
        DESTINATION share/doc/tarsel-translator)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarsel-translator)
set(CPACK_PACKAGE_CONTACT "${TARSEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "translator for people who use a screen reader")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps turns the linked libraries (wxWidgets GTK, libspeechd, Xlib)
# into the Debian packages that hold them, after the ones named here. libcurl is
# loaded on the first translation, so it is not among the linked ones; 7.85
# brought CURLOPT_REDIR_PROTOCOLS_STR.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4 (>= 7.85.0)")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS speech-dispatcher)
# CPack puts the summary above this text as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "One dialog, every text in Brazilian Portuguese: type a text and press Enter,
and the translation is spoken through speech-dispatcher, shown and put on the
clipboard. F1 switches clipboard monitoring on and off: while it is on, every
text copied anywhere is translated on the clipboard and spoken.
.
Translations come from an online translation service.")
include(CPack)
