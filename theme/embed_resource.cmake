# Writes a C++ source that places one file's bytes in the executable's
# resource section as one record (see platform/resource.h).
# -DINPUT=file -DOUTPUT=source -DTYPE=n -DID=n -DLANGUAGE=n
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# At least one byte of storage, rounded up to the records' alignment.
math(EXPR storage "((${size} + 8) / 8) * 8")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)

file(WRITE "${OUTPUT}.new" "// Generated from ${name} at build time: resource type ${TYPE}, ID ${ID}, language ${LANGUAGE}.
#include \"platform/resource.h\"

namespace {

struct alignas(8) Record {
    platform::ResourceRecordHeader header;
    unsigned char bytes[${storage}];
};

[[gnu::used, gnu::section(\"quill_rsrc\")]] const Record record = {
    {{'Q', 'R', 'E', 'S'}, ${size}, ${TYPE}, ${ID}, ${LANGUAGE}, 0},
    {${bytes}}};

}  // namespace
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
