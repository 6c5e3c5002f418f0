# Debian's copyright file (machine-readable, from LICENSE) and a Debian-format
# changelog (from CHANGELOG.md), for the packages' documentation directories.

# Writes `dir`/copyright and `dir`/changelog.
function(tagcut_debian_files dir)
  set(source ${PROJECT_SOURCE_DIR})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${source}/LICENSE ${source}/CHANGELOG.md)

  file(READ ${source}/LICENSE license)
  string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" license "${license}")
  string(REGEX REPLACE "\n+$" "" license "${license}")
  string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
  string(REGEX REPLACE "\n" "\n " license "${license}")
  file(WRITE ${dir}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tagcut

Files: *
Copyright: 2026 tagcut developers
License: Expat
 ${license}
")

  # Releases on one day get ascending hours, so the newest is the latest.
  file(STRINGS ${source}/CHANGELOG.md headings REGEX "^## [0-9]")
  list(LENGTH headings hour)
  file(READ ${source}/CHANGELOG.md text)
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(changelog "")
  set(in_release FALSE)
  foreach(line IN LISTS lines)
    string(REPLACE "<semicolon>" ";" line "${line}")
    if(line MATCHES "^## ([0-9.]+) \\(([0-9]+)-([0-9]+)-([0-9]+)\\)$")
      if(in_release)
        string(APPEND changelog "${trailer}\n\n")
      endif()
      set(in_release TRUE)
      math(EXPR hour "${hour} - 1")
      _tagcut_rfc2822_date(${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4} ${hour} date)
      set(trailer "\n -- ${TAGCUT_MAINTAINER}  ${date}")
      string(APPEND changelog "tagcut (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
    elseif(in_release AND line MATCHES "^- (.*)$")
      string(APPEND changelog "  * ${CMAKE_MATCH_1}\n")
    elseif(in_release AND line MATCHES "^  +(.*)$")
      string(APPEND changelog "    ${CMAKE_MATCH_1}\n")
    endif()
  endforeach()
  if(in_release)
    string(APPEND changelog "${trailer}\n")
  endif()
  file(WRITE ${dir}/changelog "${changelog}")
endfunction()

# "Mon, 07 Dec 2026 01:00:00 +0000" for the given date and hour.
function(_tagcut_rfc2822_date year month day hour result)
  string(REGEX REPLACE "^0" "" month "${month}")
  string(REGEX REPLACE "^0" "" day "${day}")
  math(EXPR month_index "${month} - 1")
  set(month_offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  list(GET month_offsets ${month_index} month_offset)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${year} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${month_offset} + ${day}) % 7")
  set(weekdays Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET weekdays ${weekday} weekday_name)
  list(GET months ${month_index} month_name)
  if(day LESS 10)
    set(day "0${day}")
  endif()
  if(hour LESS 10)
    set(hour "0${hour}")
  endif()
  set(${result} "${weekday_name}, ${day} ${month_name} ${year} ${hour}:00:00 +0000" PARENT_SCOPE)
endfunction()
