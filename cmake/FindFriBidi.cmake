# Finds GNU FriBidi, the Unicode bidirectional algorithm: Debian's libfribidi-dev on Linux, the
# library scripts/build-windows puts into the dependency folder (CMAKE_PREFIX_PATH) when
# cross-building for Windows.
#
# Provides the imported target FriBidi::FriBidi (sources include <fribidi.h>, as pkg-config's
# flags have it) and sets FriBidi_FOUND, FriBidi_VERSION, FriBidi_INCLUDE_DIRS, FriBidi_LIBRARIES.
#
# pkg-config is not asked: in a cross-build it would describe the build machine's copy.
find_path(FriBidi_INCLUDE_DIR NAMES fribidi.h PATH_SUFFIXES fribidi)
find_library(FriBidi_LIBRARY NAMES fribidi libfribidi)

if(FriBidi_INCLUDE_DIR AND EXISTS "${FriBidi_INCLUDE_DIR}/fribidi-config.h")
  file(STRINGS "${FriBidi_INCLUDE_DIR}/fribidi-config.h" _fribidi_version_line
       REGEX "^#define FRIBIDI_VERSION \"[^\"]*\"")
  string(REGEX REPLACE "^#define FRIBIDI_VERSION \"([^\"]*)\".*" "\\1" FriBidi_VERSION
         "${_fribidi_version_line}")
  unset(_fribidi_version_line)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(FriBidi
  REQUIRED_VARS FriBidi_LIBRARY FriBidi_INCLUDE_DIR
  VERSION_VAR FriBidi_VERSION)

if(FriBidi_FOUND)
  set(FriBidi_INCLUDE_DIRS "${FriBidi_INCLUDE_DIR}")
  set(FriBidi_LIBRARIES "${FriBidi_LIBRARY}")
  if(NOT TARGET FriBidi::FriBidi)
    # On Windows this is the DLL's import library; the DLL itself lies in the dependency folder's bin/.
    add_library(FriBidi::FriBidi UNKNOWN IMPORTED)
    set_target_properties(FriBidi::FriBidi PROPERTIES
      IMPORTED_LOCATION "${FriBidi_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${FriBidi_INCLUDE_DIR}")
  endif()
endif()

mark_as_advanced(FriBidi_INCLUDE_DIR FriBidi_LIBRARY)
