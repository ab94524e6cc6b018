# Finds GNU FriBidi, the Unicode bidirectional algorithm: Debian's libfribidi-dev on Linux, the
# library scripts/build-windows puts into the dependency folder when cross-building for Windows.
# Provides FriBidi::FriBidi (sources include <fribidi.h>).
include(VchatFindLibrary)
vchat_find_library(FriBidi fribidi.h fribidi fribidi libfribidi)
