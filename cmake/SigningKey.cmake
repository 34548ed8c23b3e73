# Turns the PEM public key named by SKARVEL_SIGNING_KEY into the 65-byte
# uncompressed P-256 point the synchroniser checks release pointers with.
# Runs at configure time so that a wrong key stops the build before anything
# is compiled against it.

function(skarvel_embed_signing_key pem_path out_cpp)
  if(NOT EXISTS "${pem_path}")
    message(FATAL_ERROR "SKARVEL_SIGNING_KEY: no such file: ${pem_path}")
  endif()
  find_program(SKARVEL_OPENSSL openssl)
  if(NOT SKARVEL_OPENSSL)
    message(FATAL_ERROR "SKARVEL_SIGNING_KEY: the openssl command is needed to read ${pem_path}")
  endif()
  execute_process(
    COMMAND "${SKARVEL_OPENSSL}" ec -pubin -in "${pem_path}" -noout -text
    OUTPUT_VARIABLE key_text ERROR_VARIABLE key_error RESULT_VARIABLE key_status)
  if(NOT key_status EQUAL 0)
    message(FATAL_ERROR "SKARVEL_SIGNING_KEY: ${pem_path} is not a PEM public key (SubjectPublicKeyInfo): ${key_error}")
  endif()
  if(NOT key_text MATCHES "ASN1 OID: prime256v1")
    message(FATAL_ERROR "SKARVEL_SIGNING_KEY: ${pem_path} is not a P-256 (prime256v1) key")
  endif()
  string(REGEX MATCH "pub:[ \t\r\n0-9a-f:]+" point "${key_text}")
  string(REGEX REPLACE "pub:|[ \t\r\n:]" "" point "${point}")
  string(LENGTH "${point}" point_length)
  if(NOT point_length EQUAL 130 OR NOT point MATCHES "^04")
    message(FATAL_ERROR "SKARVEL_SIGNING_KEY: ${pem_path} does not hold an uncompressed P-256 point")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${point}")
  file(WRITE "${out_cpp}.tmp"
    "// Generated from ${pem_path}; do not edit.\n"
    "#include \"protocol/SigningKey.h\"\n\n"
    "namespace vantis::content {\n"
    "const unsigned char sContentSigningKey[65] = {${bytes}};\n"
    "}\n")
  configure_file("${out_cpp}.tmp" "${out_cpp}" COPYONLY)
endfunction()
