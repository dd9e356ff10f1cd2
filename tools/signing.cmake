# Secure Boot signing of the shipped program, when SIGNING_KEY and
# SIGNING_CERT are given (make efi ... SIGNING_KEY=key.pem SIGNING_CERT=cert.pem).
# Then build/efi/pellory.efi is the signed program, linked as
# pellory-unsigned.efi and signed by tools/sign-efi.sh, which leaves the
# detached signature pellory.efi.sig beside it. The key and certificate are
# checked at configure time too, so a bad one stops `make efi` before
# anything is compiled.

set(SIGNING_KEY "" CACHE FILEPATH "PEM private key (unencrypted) to sign pellory.efi with")
set(SIGNING_CERT "" CACHE FILEPATH "PEM certificate that goes with SIGNING_KEY")
set(SIGN_EFI_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign-efi.sh)

# True when signing was asked for; stops the configuration when it was
# asked for by halves or with a key or certificate that would not do.
function(pellory_signing_requested out)
  if(NOT SIGNING_KEY AND NOT SIGNING_CERT)
    set(${out} FALSE PARENT_SCOPE)
    return()
  endif()
  if(NOT SIGNING_KEY OR NOT SIGNING_CERT)
    message(FATAL_ERROR "signing needs both SIGNING_KEY (the private key) and SIGNING_CERT "
      "(its certificate); got SIGNING_KEY='${SIGNING_KEY}' SIGNING_CERT='${SIGNING_CERT}'")
  endif()
  if(NOT FIRMWARE_IMAGE)
    message(FATAL_ERROR "SIGNING_KEY signs pellory.efi, which is built only from "
      "FIRMWARE_IMAGE=path; the test-image program is never signed for shipping")
  endif()
  execute_process(COMMAND sh ${SIGN_EFI_SCRIPT} --check ${SIGNING_KEY} ${SIGNING_CERT}
    INPUT_FILE /dev/null RESULT_VARIABLE failed ERROR_VARIABLE why OUTPUT_QUIET)
  if(failed)
    string(STRIP "${why}" why)
    message(FATAL_ERROR "${why}")
  endif()
  set(${out} TRUE PARENT_SCOPE)
endfunction()

# <name>.efi from <unsigned>: signed, checked, with <name>.efi.sig beside it.
function(pellory_sign_efi name unsigned unsigned_target)
  set(out ${EFI_OUTPUT_DIR}/${name}.efi)
  add_custom_command(OUTPUT ${out} ${out}.sig
    COMMAND sh ${SIGN_EFI_SCRIPT} ${unsigned} ${out} ${SIGNING_KEY} ${SIGNING_CERT}
    DEPENDS ${unsigned} ${unsigned_target} ${SIGN_EFI_SCRIPT} ${SIGNING_KEY} ${SIGNING_CERT}
    COMMENT "Signing ${name}.efi with ${SIGNING_KEY}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${out})
endfunction()
