# The release is debian/changelog's latest entry: its version, and its date,
# which every artifact takes for its time stamps (SOURCE_DATE_EPOCH, as
# dpkg-buildpackage sets it from the same entry), so that a clone, the
# source archive and the source package of one release give the same bytes.
# Read here rather than through dpkg-parsechangelog, so that CMake and a
# compiler are all that the programs need, on any system.
#   QUELVARN_VERSION        1.0.0
#   QUELVARN_RELEASE_EPOCH  the entry's date in seconds since 1970, UTC
file(READ ${CMAKE_CURRENT_LIST_DIR}/../debian/changelog changelog)
if(NOT changelog MATCHES "^[a-z0-9][a-z0-9.+-]* \\(([^) ]+)\\)")
  message(FATAL_ERROR "debian/changelog: no version in its first line")
endif()
set(QUELVARN_VERSION ${CMAKE_MATCH_1})
# The first trailer line is the latest entry's: " -- NAME <MAIL>  DATE", the
# date as RFC 5322 writes it, "Mon, 07 Dec 2026 00:00:00 +0000".
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(JOIN months | month)
set(two "([0-9][0-9])")
if(NOT changelog MATCHES "\n -- [^\n]*>  [A-Z][a-z][a-z], ([0-9][0-9]?) (${month}) ([0-9]+) ${two}:${two}:${two} ([+-])${two}${two}\n")
  message(FATAL_ERROR "debian/changelog: no date in its latest entry's trailer line")
endif()
set(fields ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4} ${CMAKE_MATCH_5}
    ${CMAKE_MATCH_6} ${CMAKE_MATCH_7} ${CMAKE_MATCH_8} ${CMAKE_MATCH_9})
# math() would read a leading zero as octal.
list(TRANSFORM fields REPLACE "^0([0-9])" "\\1")
list(POP_FRONT fields d month y hour minute second sign zone_hours zone_minutes)
list(FIND months ${month} m)
# Days since 1970-01-01 of a date in the proleptic Gregorian calendar,
# counted from March so that a leap day ends its year (Howard Hinnant's
# days_from_civil); valid from the year 0 on.
math(EXPR y "${y} - 1 + (${m} + 10) / 12")
math(EXPR m "(${m} + 10) % 12")
math(EXPR year_of_era "${y} % 400")
math(EXPR days "${y} / 400 * 146097 + ${year_of_era} * 365 + ${year_of_era} / 4
                - ${year_of_era} / 100 + (153 * ${m} + 2) / 5 + ${d} - 1 - 719468")
math(EXPR QUELVARN_RELEASE_EPOCH "${days} * 86400 + ${hour} * 3600 + ${minute} * 60 + ${second}
                                  - (${sign}1) * (${zone_hours} * 3600 + ${zone_minutes} * 60)")
