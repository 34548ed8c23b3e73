# Turns the PEM public keys named by SKARVEL_SIGNING_KEY (a CMake list: one
# key, or the current key and the next one while a deployment rotates keys)
# into the 65-byte uncompressed P-256 points the synchroniser checks release
# pointers with. Runs at configure time so that a wrong key stops the build
# before anything is compiled against it.

# The point of one PEM public key, as "0x04,0x..,": 65 bytes.
function(skarvel_signing_key_point pem_path out_var)
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
  set(${out_var} "${bytes}" PARENT_SCOPE)
endfunction()

# skarvel_embed_signing_keys(<pem list> <out_cpp> <list symbol> [<first-key symbol>])
# writes <out_cpp> defining `const SigningKeys <list symbol>` over every key of
# the list, and, when given, `<first-key symbol>` as a reference to the first.
function(skarvel_embed_signing_keys pem_list out_cpp list_symbol)
  list(LENGTH pem_list key_count)
  if(key_count EQUAL 0)
    message(FATAL_ERROR "SKARVEL_SIGNING_KEY: name at least one PEM public key")
  endif()
  set(rows "")
  foreach(pem_path IN LISTS pem_list)
    skarvel_signing_key_point("${pem_path}" bytes)
    string(APPEND rows "    {${bytes}},\n")
  endforeach()
  # Declared extern before they are defined: a namespace-scope const would
  # otherwise stay inside this file.
  set(first "")
  if(ARGC GREATER 3)
    set(first "extern const unsigned char (&${ARGV3})[kSigningKeyBytes];\n"
              "const unsigned char (&${ARGV3})[kSigningKeyBytes] = kPoints[0];\n")
  endif()
  string(REPLACE ";" ", " sources "${pem_list}")
  file(WRITE "${out_cpp}.tmp"
    "// Generated from ${sources}; do not edit.\n"
    "#include \"protocol/SigningKey.h\"\n\n"
    "namespace vantis::content {\n\n"
    "namespace {\n"
    "const unsigned char kPoints[][kSigningKeyBytes] = {\n${rows}};\n"
    "}  // namespace\n\n"
    "extern const SigningKeys ${list_symbol};\n"
    "const SigningKeys ${list_symbol}{kPoints, ${key_count}};\n"
    "${first}"
    "\n}  // namespace vantis::content\n")
  configure_file("${out_cpp}.tmp" "${out_cpp}" COPYONLY)
endfunction()
