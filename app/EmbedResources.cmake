# Turns a file into a C++ source that registers it as a named document:
#   cmake -DNAME=TEMPLATE -DINPUT=file -DOUTPUT=out.cpp -P EmbedResources.cmake
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT}
"// Generated from ${INPUT}; do not edit.\n#include <string_view>\nnamespace {\nconst unsigned char data[] = {${bytes}};\n}\nstd::string_view Resource_${NAME}() { return {reinterpret_cast<const char*>(data), ${size}}; }\n")
