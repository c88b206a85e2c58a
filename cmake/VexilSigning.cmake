# Authenticode signing of build outputs with osslsigncode.
#
# VEXIL_SIGNING_CERT / VEXIL_SIGNING_KEY: certificate and private key (PEM) of the publisher
# that signs the host; empty means the build signs nothing. The host accepts only modules
# whose signer's common name is VEXIL_PUBLISHER, so the two settings go together.
# VEXIL_OTHER_SIGNING_CERT / VEXIL_OTHER_SIGNING_KEY: a certificate of some other publisher,
# used only to make the "signed by someone else" test fixture.

set(VEXIL_SIGNING_CERT "" CACHE FILEPATH
    "Code-signing certificate (PEM) for the build outputs; empty: no signing")
set(VEXIL_SIGNING_KEY "" CACHE FILEPATH "Private key (PEM) of VEXIL_SIGNING_CERT")
set(VEXIL_OTHER_SIGNING_CERT "" CACHE FILEPATH
    "Code-signing certificate (PEM) of another publisher, for the wrongly-published test fixture")
set(VEXIL_OTHER_SIGNING_KEY "" CACHE FILEPATH "Private key (PEM) of VEXIL_OTHER_SIGNING_CERT")

set(VEXIL_SIGNING_ENABLED OFF)
if(VEXIL_SIGNING_CERT OR VEXIL_SIGNING_KEY)
  if(NOT VEXIL_SIGNING_CERT OR NOT VEXIL_SIGNING_KEY)
    message(FATAL_ERROR "VEXIL_SIGNING_CERT and VEXIL_SIGNING_KEY must be given together.")
  endif()
  foreach(file IN ITEMS "${VEXIL_SIGNING_CERT}" "${VEXIL_SIGNING_KEY}")
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "Signing file not found: ${file}")
    endif()
  endforeach()
  find_program(VEXIL_OSSLSIGNCODE osslsigncode REQUIRED)
  set(VEXIL_SIGNING_ENABLED ON)
  message(STATUS "Signing build outputs with ${VEXIL_SIGNING_CERT}")
endif()

set(VEXIL_OTHER_SIGNING_ENABLED OFF)
if(VEXIL_SIGNING_ENABLED AND VEXIL_OTHER_SIGNING_CERT AND VEXIL_OTHER_SIGNING_KEY)
  set(VEXIL_OTHER_SIGNING_ENABLED ON)
endif()

set(VEXIL_TAMPER_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/tamper-byte.sh")

# Appends to <target>'s post-build steps the signing of <input> into <output> with the given
# certificate and key. The signature goes to a temporary file first and replaces <output>
# only once complete, so an interrupted build never leaves a half-signed file behind.
function(_vexil_add_sign_step target input output cert key)
  set(temporary "${output}.signing")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -E rm -f "${temporary}"
    COMMAND "${VEXIL_OSSLSIGNCODE}" sign -certs "${cert}" -key "${key}" -h sha256
            -n "${PROJECT_NAME}" -in "${input}" -out "${temporary}"
    COMMAND "${CMAKE_COMMAND}" -E rename "${temporary}" "${output}"
    VERBATIM)
endfunction()

# vexil_sign_target(<target>): signs the target's output file in place after each build,
# with the publisher's certificate, as the last change to the file (see VexilDebugInfo.cmake).
# Does nothing when signing is not configured.
function(vexil_sign_target target)
  set_target_properties(${target} PROPERTIES VEXIL_SIGNED ON)
  if(NOT VEXIL_SIGNING_ENABLED)
    return()
  endif()
  _vexil_add_sign_step(${target} "$<TARGET_FILE:${target}>" "$<TARGET_FILE:${target}>"
                       "${VEXIL_SIGNING_CERT}" "${VEXIL_SIGNING_KEY}")
endfunction()

# vexil_add_signature_fixtures(<target>): signs the target like vexil_sign_target and leaves
# beside it the negative cases of the signature check, named after the output file
# <name><ext>:
#   <name>-Unsigned<ext>        the file as linked, without any signature
#   <name>-Tampered<ext>        the signed file with one byte changed after signing
#   <name>-OtherPublisher<ext>  the file signed by the other publisher (only when that
#                               certificate is configured)
# Sets VEXIL_SIGNATURE_FIXTURES (in the caller's scope) to ON when the fixtures are made. The
# tampering needs a POSIX shell on the build machine.
function(vexil_add_signature_fixtures target)
  set(VEXIL_SIGNATURE_FIXTURES OFF PARENT_SCOPE)
  set_target_properties(${target} PROPERTIES VEXIL_SIGNED ON)
  if(NOT VEXIL_SIGNING_ENABLED OR NOT CMAKE_HOST_UNIX)
    vexil_sign_target(${target})
    return()
  endif()

  set(file "$<TARGET_FILE:${target}>")
  set(stem "$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>")
  set(suffix "$<TARGET_FILE_SUFFIX:${target}>")

  # In this order: the unsigned copy is taken before the file is signed in place, the
  # tampered copy after.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -E copy "${file}" "${stem}-Unsigned${suffix}"
    VERBATIM)
  if(VEXIL_OTHER_SIGNING_ENABLED)
    _vexil_add_sign_step(${target} "${file}" "${stem}-OtherPublisher${suffix}"
                         "${VEXIL_OTHER_SIGNING_CERT}" "${VEXIL_OTHER_SIGNING_KEY}")
  endif()
  vexil_sign_target(${target})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND sh "${VEXIL_TAMPER_SCRIPT}" "${file}" "${stem}-Tampered${suffix}"
    VERBATIM)
  set(VEXIL_SIGNATURE_FIXTURES ON PARENT_SCOPE)
endfunction()
