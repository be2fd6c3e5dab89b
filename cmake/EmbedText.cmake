# cmake -DINPUT=FILE -DOUTPUT=FILE.cc -DNAME=kSymbol -DNAMESPACE=ns -P EmbedText.cmake
# Writes a C++ source defining `extern const std::string_view NAME` in
# NAMESPACE with the bytes of INPUT, so a program carries a file of the
# project (the example settings) exactly as it is in the source tree.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
# Sixteen bytes a line keep the generated file readable.
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} by cmake/EmbedText.cmake; do not edit.\n"
  "#include <string_view>\n\n"
  "namespace ${NAMESPACE} {\n"
  "namespace {\n"
  "constexpr char kBytes[] = {\n    ${bytes}'\\0'};\n"
  "}  // namespace\n"
  "extern const std::string_view ${NAME}(kBytes, ${size});\n"
  "}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
