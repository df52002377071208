// An empty ICU data table for the statically linked program.
//
// libicuuc.a refers to the data library's one symbol (icudt<version>_dat)
// from its resource loader, so a static link needs a definition of it. What
// the engine asks of ICU (White_Space and Alphabetic, lower-casing in the
// root locale) is compiled into libicuuc itself and never opens the data, so
// instead of the 30 MB table this defines an empty one, laid out as ICU's own
// "stubdata" library does: a common-data header with no entries. Should any
// call look something up after all, it finds nothing and ICU reports
// U_MISSING_RESOURCE_ERROR, which text.cpp already handles by falling back to
// ASCII.
//
// Hazard: the layout below is ICU's (udata.cpp checks headerSize, the magic
// bytes and the "CmnD" format); the symbol's name follows the ICU version of
// the headers through U_ICUDATA_ENTRY_POINT.
#include <unicode/udata.h>
#include <unicode/utypes.h>

#include <cstdint>

namespace {

struct CommonDataHeader {
  std::uint16_t header_size;
  std::uint8_t magic1;
  std::uint8_t magic2;
  UDataInfo info;
  char padding[8];
  std::uint32_t count;
  std::uint32_t reserved;
  std::uint32_t toc[4];  // name and data offsets; none, as count says
};

}  // namespace

extern "C" U_EXPORT const CommonDataHeader U_ICUDATA_ENTRY_POINT;
extern "C" U_EXPORT const CommonDataHeader U_ICUDATA_ENTRY_POINT = {
    32,
    0xda,
    0x27,
    {sizeof(UDataInfo), 0, U_IS_BIG_ENDIAN, U_CHARSET_FAMILY, U_SIZEOF_UCHAR, 0,
     {0x43, 0x6d, 0x6e, 0x44},  // "CmnD"
     {1, 0, 0, 0},
     {0, 0, 0, 0}},
    {},
    0,
    0,
    {},
};
