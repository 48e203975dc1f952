# Every place that states Ivelcard's version states the module's version
# record, the project version VERSION (W.X.Y.Z) of the sources in SOURCE:
# the record itself (Linux and Windows), the changelogs, the manual page and
# the npm package of web/ (semver W.X.(Y*1000+Z); a private package is not
# released and has no version to check).
#
#   cmake -DVERSION=2.0.2.2 -DSOURCE=<tree> -P versions.cmake
cmake_minimum_required(VERSION 3.25)

set(failures "")
macro(expect what found)
  if(NOT "${found}" STREQUAL "${VERSION}")
    string(APPEND failures "  ${what}: '${found}'\n")
  endif()
endmacro()

# Returns in <var> the first match group of <regex> in <file>, dots between
# the numbers it lists however they are separated.
function(version_in var file regex)
  file(READ "${SOURCE}/${file}" text)
  if(text MATCHES "${regex}")
    string(REGEX REPLACE "[ ,]+" "." found "${CMAKE_MATCH_1}")
  else()
    set(found "(none)")
  endif()
  set(${var} "${found}" PARENT_SCOPE)
endfunction()

set(n "[0-9]+")
set(list4 "(${n}, ${n}, ${n}, ${n})")
version_in(v resources/ControlResources.cpp "kVersion = {\n    {${list4}},")
expect("file version of the module's record" "${v}")
version_in(v resources/ControlResources.cpp "kVersion = {\n    {[0-9, ]+},\n    {${list4}},")
expect("product version of the module's record" "${v}")
version_in(v resources/ControlResources.cpp "kVersion = {\n[^\n]*\n[^\n]*\n    u\"${list4}\",")
expect("file version text of the module's record" "${v}")
version_in(v resources/ControlResources.cpp "kVersion = {\n[^\n]*\n[^\n]*\n[^\n]*\n    u\"${list4}\",")
expect("product version text of the module's record" "${v}")
version_in(v resources/windows/ivelcard.rc.in " FILEVERSION (${n},${n},${n},${n})")
expect("FILEVERSION of the Windows record" "${v}")
version_in(v resources/windows/ivelcard.rc.in " PRODUCTVERSION (${n},${n},${n},${n})")
expect("PRODUCTVERSION of the Windows record" "${v}")
version_in(v resources/windows/ivelcard.rc.in "\"FileVersion\", \"${list4}\"")
expect("FileVersion of the Windows record" "${v}")
version_in(v resources/windows/ivelcard.rc.in "\"ProductVersion\", \"${list4}\"")
expect("ProductVersion of the Windows record" "${v}")
version_in(v debian/changelog "^ivelcard \\(([^)]*)\\)")
expect("debian/changelog" "${v}")
version_in(v CHANGELOG.md "\n## ([0-9.]+) ")
expect("CHANGELOG.md" "${v}")
version_in(v tools/ivelcard/ivelcard.1 "^\\.TH [^\n]*\"Ivelcard ([0-9.]+)\"")
expect("manual page" "${v}")

file(READ "${SOURCE}/web/package.json" package)
string(JSON private ERROR_VARIABLE no_private GET "${package}" private)
if(NOT private)
  string(JSON semver GET "${package}" version)
  if(semver MATCHES "^(${n})\\.(${n})\\.(${n})$")
    math(EXPR y "${CMAKE_MATCH_3} / 1000")
    math(EXPR z "${CMAKE_MATCH_3} % 1000")
    expect("web/package.json (${semver})" "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${y}.${z}")
  else()
    expect("web/package.json" "${semver}")
  endif()
endif()

if(failures)
  message(FATAL_ERROR "These places do not say version ${VERSION}:\n${failures}")
endif()
message(STATUS "Every version place says ${VERSION}")
