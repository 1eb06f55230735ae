# Writes OUTPUT: a C++ table of the stored Python modules listed in MODULES ("name=file" entries,
# files relative to SOURCE_DIR). Each source becomes a byte array, so any text survives unchanged.
set(body "")
set(rows "")
set(index 0)
foreach(entry IN LISTS MODULES)
  string(REGEX MATCH "^[^=]*" name "${entry}")
  string(REGEX REPLACE "^[^=]*=" "" file "${entry}")
  file(READ ${SOURCE_DIR}/${file} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND body "constexpr char kSource${index}[] = {${bytes} 0};\n")
  string(APPEND rows "    {\"${name}\", \"${file}\", std::string_view(kSource${index}, ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp "// Generated from src/python/stdlib by embed_sources.cmake; do not edit.
#include \"python/stdlib/stored_modules.h\"

namespace tw::py {
namespace {
${body}
const StoredModule kStoredModules[] = {
${rows}};
}  // namespace

std::span<const StoredModule> stored_modules() { return kStoredModules; }

}  // namespace tw::py
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
