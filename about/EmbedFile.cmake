# cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -P EmbedFile.cmake
# Writes the bytes of INPUT as the array behind AboutPictureJPEG().
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes a line keeps the generated file readable.
string(REGEX REPLACE "((0x..,){16})" "\\1\n  " bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp
"// Generated from ${INPUT} by EmbedFile.cmake; do not edit.
#include \"about/AboutPicture.h\"

namespace {
const uint8_t kPicture[${size}] = {
  ${bytes}
};
}  // namespace

std::span<const uint8_t> AboutPictureJPEG() { return kPicture; }
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
