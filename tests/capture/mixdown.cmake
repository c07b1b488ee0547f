# The mixdown and M4A writer tests; need the ffmpeg/ffprobe tools as independent judges.
add_executable(tst_trackmixdown tst_trackmixdown.cpp SmallDisk.h)
target_link_libraries(tst_trackmixdown PRIVATE tolvex_pulse_fixture tolvex_testsupport Qt6::Test)
add_test(NAME capture.trackmixdown COMMAND tst_trackmixdown)
set_tests_properties(capture.trackmixdown PROPERTIES TIMEOUT 300 ENVIRONMENT "TMPDIR=${CMAKE_CURRENT_BINARY_DIR}/tmp-mixdown;XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/tmp-mixdown/data")
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/tmp-mixdown)

# The mix made while recording against the mixdown of the same parts.
add_executable(tst_livemix tst_livemix.cpp SmallDisk.h)
target_link_libraries(tst_livemix PRIVATE tolvex_pulse_fixture tolvex_testsupport Qt6::Test)
add_test(NAME capture.livemix COMMAND tst_livemix)
set_tests_properties(capture.livemix PROPERTIES TIMEOUT 300 ENVIRONMENT "TMPDIR=${CMAKE_CURRENT_BINARY_DIR}/tmp-livemix;XDG_DATA_HOME=${CMAKE_CURRENT_BINARY_DIR}/tmp-livemix/data")
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/tmp-livemix)
