# Turns the issuer key file (lines "<version> <hex blob>", '#' comments) into IssuerKeys.cpp.
# Run as: cmake -DINPUT=<file> -DOUTPUT=<cpp> -P IssuerKeys.cmake. Refuses anything that is
# not exactly versions 1, 2 and 3, each a 1024-bit modulus (A1, 0x80 bytes) followed by a
# public exponent of 1 to 4 bytes (A0).
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/DataLines.cmake)
qorx_data_lines(lines "issuer key file")
set(seen "")
set(body "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^([123])[ \t]+([0-9A-Fa-f]+)$")
    message(FATAL_ERROR "${INPUT}: not '<version 1-3> <hex>': ${line}")
  endif()
  set(version ${CMAKE_MATCH_1})
  string(TOUPPER "${CMAKE_MATCH_2}" hex)
  if(version IN_LIST seen)
    message(FATAL_ERROR "${INPUT}: version ${version} given twice")
  endif()
  list(APPEND seen ${version})
  string(LENGTH "${hex}" digits)
  math(EXPR bytes "${digits} / 2")
  string(SUBSTRING "${hex}" 0 4 head)
  if(digits LESS 266 OR NOT head STREQUAL "A180")
    message(FATAL_ERROR "${INPUT}: version ${version} does not start with a 128-byte modulus")
  endif()
  string(SUBSTRING "${hex}" 260 4 exponentHead)
  string(SUBSTRING "${exponentHead}" 2 2 exponentLength)
  math(EXPR exponentLength "0x${exponentLength}")
  math(EXPR expected "132 + ${exponentLength}")
  math(EXPR evenDigits "${bytes} * 2")
  if(NOT exponentHead MATCHES "^A0" OR exponentLength LESS 1 OR exponentLength GREATER 4
     OR NOT bytes EQUAL expected OR NOT digits EQUAL evenDigits)
    message(FATAL_ERROR "${INPUT}: version ${version} needs A0 with a 1- to 4-byte exponent "
                        "right after the modulus and nothing else")
  endif()
  string(REGEX REPLACE "([0-9A-F][0-9A-F])" "0x\\1," array "${hex}")
  string(APPEND body "const uint8_t kBlob${version}[${bytes}] = {${array}};\n")
endforeach()
list(SORT seen)
if(NOT seen STREQUAL "1;2;3")
  message(FATAL_ERROR "${INPUT}: versions 1, 2 and 3 are needed, found '${seen}'")
endif()
file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${INPUT} by IssuerKeys.cmake; do not edit.\n"
     "#include \"applet/IssuerKeys.h\"\n\nnamespace qorx {\nnamespace {\n${body}}  // namespace\n\n"
     "const IssuerKey kIssuerKeys[kIssuerKeyCount] = {\n"
     "    {1, kBlob1, sizeof kBlob1}, {2, kBlob2, sizeof kBlob2}, {3, kBlob3, sizeof kBlob3}};\n\n"
     "}  // namespace qorx\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
