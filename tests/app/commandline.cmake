# Runs PROGRAM with --version, --help, --list-unsent and --toggle with no display at all,
# without a display, and with an unknown option.
set(ENV{DISPLAY} "")
set(ENV{WAYLAND_DISPLAY} "")
set(ENV{QT_QPA_PLATFORM} "")

function(run expectedStatus outputVariable)
    execute_process(COMMAND ${PROGRAM} ${ARGN}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 10)
    if(NOT status STREQUAL "${expectedStatus}")
        message(FATAL_ERROR "tolvex ${ARGN}: status ${status}, expected ${expectedStatus}\n${out}${err}")
    endif()
    set(${outputVariable} "${out}${err}" PARENT_SCOPE)
endfunction()

run(0 version --version)
if(NOT version MATCHES "^tolvex [0-9]+\\.[0-9]+")
    message(FATAL_ERROR "--version printed: ${version}")
endif()
run(0 shortVersion -v)
if(NOT shortVersion STREQUAL version)
    message(FATAL_ERROR "-v and --version differ: ${shortVersion}")
endif()

run(0 help --help)
if(NOT help MATCHES "Использование: tolvex" OR NOT help MATCHES "--version" OR
   NOT help MATCHES "--toggle")
    message(FATAL_ERROR "--help printed: ${help}")
endif()

# Without a display the program says so, and an unknown option is still named, instead of the
# toolkit aborting.
run(1 noDisplay)
if(NOT noDisplay MATCHES "нет графического сеанса")
    message(FATAL_ERROR "without a display it printed: ${noDisplay}")
endif()
run(2 unknownWithoutDisplay --bogus)
if(NOT unknownWithoutDisplay MATCHES "неизвестный параметр «--bogus»")
    message(FATAL_ERROR "an unknown option without a display printed: ${unknownWithoutDisplay}")
endif()

# A command for the running copy, with none running, says so and fails: a key bound to it
# must not look as if it worked.
set(ENV{DBUS_SESSION_BUS_ADDRESS} "unix:path=${CMAKE_CURRENT_BINARY_DIR}/no-bus")
run(1 noCopy --toggle)
if(NOT noCopy MATCHES "Толвекс не запущен")
    message(FATAL_ERROR "--toggle without a running copy printed: ${noCopy}")
endif()

# With a display, unknown options are told apart from the toolkit's own once it has taken
# those away; the offscreen one will do.
set(ENV{QT_QPA_PLATFORM} "offscreen")
run(2 unknown --record-now)
if(NOT unknown MATCHES "неизвестный параметр «--record-now»")
    message(FATAL_ERROR "an unknown option printed: ${unknown}")
endif()

# The unsent recordings are listed without a display, with their date, length and service,
# and the folder keeps them.
set(home "${CMAKE_CURRENT_BINARY_DIR}/list-unsent")
set(recordings "${home}/tolvex/recordings")
set(id "0F8FAD5B-D9CB-469F-A165-70867728950E")
file(REMOVE_RECURSE "${home}")
file(MAKE_DIRECTORY "${recordings}")
file(WRITE "${recordings}/${id}.json" "{\"version\": 1, \"id\": \"${id}\", \"userId\": 7, \
\"apiBaseUrl\": \"http://127.0.0.1:8765/api\", \"startTime\": \"2026-12-06T14:05:07Z\", \
\"partFiles\": [], \"mixedFile\": \"${id}.m4a\", \"stage\": \"mixed\"}")
execute_process(COMMAND ffmpeg -loglevel error -f lavfi -i sine=duration=3 "${recordings}/${id}.m4a"
                RESULT_VARIABLE made)
set(ENV{XDG_DATA_HOME} "${home}")
set(ENV{TZ} "UTC")
set(ENV{QT_QPA_PLATFORM} "")
run(0 unsent --list-unsent)
file(GLOB kept "${recordings}/*")
list(LENGTH kept keptCount)
if(NOT made EQUAL 0 OR NOT keptCount EQUAL 2 OR NOT unsent MATCHES
   "Запись от 6 декабря, 14:05 \\(3 с\\) не отправлена — для http://127.0.0.1:8765/api")
    message(FATAL_ERROR "--list-unsent printed (${keptCount} files kept): ${unsent}")
endif()
