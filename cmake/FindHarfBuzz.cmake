# Finds HarfBuzz, here for its Unicode properties (the font renderer shapes with it too): Debian's
# libharfbuzz-dev on Linux, the dependency folder's copy when cross-building for Windows.
# Provides HarfBuzz::HarfBuzz (sources include <hb.h>).
include(VchatFindLibrary)
vchat_find_library(HarfBuzz hb.h harfbuzz harfbuzz libharfbuzz)
