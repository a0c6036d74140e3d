# The Windows program's resource file, compiled into tarsel-translator.exe:
# a manifest (common controls 6, per-monitor DPI awareness, Windows 10/11),
# version information from the project's version, and an icon drawn from the
# SVG at build time when rsvg-convert and icotool (icoutils) are there.
enable_language(RC)

set(_tarsel_win_src "${CMAKE_CURRENT_LIST_DIR}")
set(_tarsel_win_out "${CMAKE_BINARY_DIR}/windows-resources")
set(TARSEL_FILE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
string(REPLACE "." "," TARSEL_VERSION_COMMAS "${TARSEL_FILE_VERSION}")
set(TARSEL_MANIFEST "${_tarsel_win_out}/tarsel-translator.manifest")
configure_file("${_tarsel_win_src}/tarsel-translator.manifest.in" "${TARSEL_MANIFEST}" @ONLY)

find_program(TARSEL_RSVG_CONVERT rsvg-convert)
find_program(TARSEL_ICOTOOL icotool)
set(TARSEL_ICON_RESOURCE "")
set(_tarsel_icon_depends "")
if(TARSEL_RSVG_CONVERT AND TARSEL_ICOTOOL)
  set(_tarsel_svg "${_tarsel_win_src}/../io.github.tarsel.TarselTranslator.svg")
  set(_tarsel_ico "${_tarsel_win_out}/tarsel-translator.ico")
  set(_tarsel_pngs "")
  set(_tarsel_draw "")
  # The sizes Explorer and the taskbar ask for at 100 % to 200 %; 256 is kept as PNG.
  foreach(size 16 20 24 32 40 48 64 256)
    list(APPEND _tarsel_pngs "${_tarsel_win_out}/icon-${size}.png")
    list(APPEND _tarsel_draw COMMAND "${TARSEL_RSVG_CONVERT}" -w ${size} -h ${size} -o
         "${_tarsel_win_out}/icon-${size}.png" "${_tarsel_svg}")
  endforeach()
  list(REMOVE_AT _tarsel_pngs -1)
  add_custom_command(OUTPUT "${_tarsel_ico}" ${_tarsel_draw}
    COMMAND "${TARSEL_ICOTOOL}" -c -o "${_tarsel_ico}" ${_tarsel_pngs} "--raw=${_tarsel_win_out}/icon-256.png"
    DEPENDS "${_tarsel_svg}" VERBATIM)
  # The first icon in the file is the one Explorer shows.
  set(TARSEL_ICON_RESOURCE "appicon ICON \"${_tarsel_ico}\"")
  set(_tarsel_icon_depends "${_tarsel_ico}")
else()
  message(STATUS "rsvg-convert or icotool missing: tarsel-translator.exe gets no icon")
endif()

configure_file("${_tarsel_win_src}/tarsel-translator.rc.in" "${_tarsel_win_out}/tarsel-translator.rc" @ONLY)
target_sources(tarsel-translator PRIVATE "${_tarsel_win_out}/tarsel-translator.rc")
set_source_files_properties("${_tarsel_win_out}/tarsel-translator.rc" PROPERTIES
  OBJECT_DEPENDS "${TARSEL_MANIFEST};${_tarsel_icon_depends}")
