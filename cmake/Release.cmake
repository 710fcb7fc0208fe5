# The Windows release: Authenticode signing when a certificate is given, and
# the tests that a release can be rebuilt byte for byte and verified.
set(FW_SIGN_PKCS12 "" CACHE FILEPATH
  "PKCS#12 file with the code-signing certificate and key; empty: the build is unsigned")
set(FW_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the PKCS#12 file's password")
set(FW_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server; empty: no time stamp (offline builds)")
set(FW_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign.sh)

# Sets var to the custom-command step that signs file in place, or to
# nothing when no certificate is given.
function(fw_sign_step var file)
  if(FW_SIGN_PKCS12)
    set(${var} COMMAND ${CMAKE_COMMAND} -E env FW_SIGN_PKCS12=${FW_SIGN_PKCS12}
      FW_SIGN_PASSWORD_FILE=${FW_SIGN_PASSWORD_FILE} FW_SIGN_TIMESTAMP_URL=${FW_SIGN_TIMESTAMP_URL}
      sh ${FW_SIGN_SCRIPT} ${file} PARENT_SCOPE)
  else()
    set(${var} "" PARENT_SCOPE)
  endif()
endfunction()

if(FW_SIGN_PKCS12)
  find_program(FW_OSSLSIGNCODE osslsigncode REQUIRED)
  # Signed right after the link, so the installers carry the signed helper.
  fw_sign_step(sign $<TARGET_FILE:fwmaint>)
  add_custom_command(TARGET fwmaint POST_BUILD ${sign} VERBATIM)
endif()

if(BUILD_TESTING)
  add_test(NAME release.TwoBuildsGiveTheSameBytes
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/release-rebuild.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BUILD_TYPE}
            ${CMAKE_COMMAND})
  add_test(NAME release.SignedCopyVerifiesAndRuns
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/release-sign.sh $<TARGET_FILE:fwmaint> ${FW_SIGN_SCRIPT}
            ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${CMAKE_RC_COMPILER})
  set_tests_properties(release.TwoBuildsGiveTheSameBytes release.SignedCopyVerifiesAndRuns
    PROPERTIES LABELS release TIMEOUT 300)
endif()
