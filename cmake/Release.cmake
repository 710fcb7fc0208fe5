# The Windows release: the test that it can be rebuilt byte for byte.
if(BUILD_TESTING)
  add_test(NAME release.TwoBuildsGiveTheSameBytes
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/release-rebuild.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BUILD_TYPE}
            ${CMAKE_COMMAND})
  set_tests_properties(release.TwoBuildsGiveTheSameBytes PROPERTIES LABELS release TIMEOUT 300)
endif()
