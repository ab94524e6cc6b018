# Finds GNU FriBidi (Debian's libfribidi-dev, or a cross-built copy under CMAKE_PREFIX_PATH) and
# provides the imported target FriBidi::FriBidi.
find_path(FriBidi_INCLUDE_DIR fribidi.h PATH_SUFFIXES fribidi)
find_library(FriBidi_LIBRARY NAMES fribidi)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(FriBidi REQUIRED_VARS FriBidi_LIBRARY FriBidi_INCLUDE_DIR)
if(FriBidi_FOUND AND NOT TARGET FriBidi::FriBidi)
  add_library(FriBidi::FriBidi UNKNOWN IMPORTED)
  set_target_properties(FriBidi::FriBidi PROPERTIES IMPORTED_LOCATION "${FriBidi_LIBRARY}"
                        INTERFACE_INCLUDE_DIRECTORIES "${FriBidi_INCLUDE_DIR}")
endif()
mark_as_advanced(FriBidi_INCLUDE_DIR FriBidi_LIBRARY)
