# Authenticode-signed PE images for the Windows signature tests, made at build
# time on the build machine (tests that run under wine cannot run its openssl
# or osslsigncode), by tests/support/test_pki.sh:
#   unsigned.dll   a one-function DLL (tests/maintenance/signed_image.c)
#   good.dll       signed by "Orv Test Signer" (code signing) under root.der
#   anyuse.dll     signed by "Orv Any Use" (no extended key usage) under root.der
#   servereku.dll  signed by "Orv Server Only" (server auth only) under root.der
#   selfsigned.dll signed by a self-signed code-signing certificate
#   untrusted.dll  signed under another root, never trusted
#   tampered.dll   good.dll with one byte of its code flipped
#   root.der       the root to trust
#   digested.txt, empty.txt and signed_images.h (their SHA-1 as sha1sum gives it)
#
# orv_signed_test_images(<target> <outdir>) makes them in <outdir> before
# <target> builds, puts <outdir> on its include path, and defines
# ORV_SIGNED_IMAGES_DIR as <outdir> seen from wine (Z: maps the root of the
# build machine).
set(ORV_SIGNED_TEST_IMAGES_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

function(orv_signed_test_images target outdir)
  if(WIN32)
    # A cross build: its C compiler makes PE images.
    set(cc ${CMAKE_C_COMPILER})
  else()
    find_program(ORV_MINGW_CC NAMES x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc REQUIRED)
    set(cc ${ORV_MINGW_CC})
  endif()
  find_program(ORV_BASH bash REQUIRED)
  find_program(ORV_OPENSSL openssl REQUIRED)
  find_program(ORV_OSSLSIGNCODE osslsigncode REQUIRED)
  find_program(ORV_SHA1SUM sha1sum REQUIRED)
  set(script ${ORV_SIGNED_TEST_IMAGES_ROOT}/tests/support/test_pki.sh)
  set(source ${ORV_SIGNED_TEST_IMAGES_ROOT}/tests/maintenance/signed_image.c)
  set(outputs)
  foreach(name unsigned good anyuse servereku selfsigned untrusted tampered)
    list(APPEND outputs ${outdir}/${name}.dll)
  endforeach()
  list(APPEND outputs ${outdir}/root.der ${outdir}/digested.txt ${outdir}/empty.txt
    ${outdir}/signed_images.h)
  add_custom_command(OUTPUT ${outputs}
    COMMAND ${ORV_BASH} ${script} images ${outdir} ${cc} ${source}
    DEPENDS ${script} ${source}
    COMMENT "Making signed test images in ${outdir}"
    VERBATIM)
  add_custom_target(${target}_signed_images DEPENDS ${outputs})
  add_dependencies(${target} ${target}_signed_images)
  target_include_directories(${target} PRIVATE ${outdir})
  # /x/y is Z:\x\y under wine; written for a C string literal.
  string(REPLACE "/" "\\\\" wine_dir "Z:${outdir}")
  target_compile_definitions(${target} PRIVATE "ORV_SIGNED_IMAGES_DIR=\"${wine_dir}\"")
endfunction()
