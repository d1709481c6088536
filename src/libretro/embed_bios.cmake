# Writes the open BIOS image IN (2048 bytes) as a C++ array to OUT, for the
# libretro core:  cmake -DIN=BIOS7020.bin -DOUT=open_bios.cpp -P embed_bios.cmake
file(SIZE ${IN} size)
if(NOT size EQUAL 2048)
  message(FATAL_ERROR "${IN} is ${size} bytes long; the open BIOS has 2048")
endif()
file(READ ${IN} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes ${hex})
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes ${bytes})
file(WRITE ${OUT}.tmp
  "// Generated from ${IN} by embed_bios.cmake: our open BIOS, built into the core.\n"
  "extern const unsigned char ovix_open_bios[2048];\n"
  "const unsigned char ovix_open_bios[2048] = {\n    ${bytes}\n};\n")
file(RENAME ${OUT}.tmp ${OUT})
