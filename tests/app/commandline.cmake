# Runs PROGRAM with --version and --help with no display at all, without a display, and with an
# unknown option.
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
if(NOT help MATCHES "Использование: tolvex" OR NOT help MATCHES "--version")
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

# With a display, unknown options are told apart from the toolkit's own once it has taken
# those away; the offscreen one will do.
set(ENV{QT_QPA_PLATFORM} "offscreen")
run(2 unknown --record-now)
if(NOT unknown MATCHES "неизвестный параметр «--record-now»")
    message(FATAL_ERROR "an unknown option printed: ${unknown}")
endif()
