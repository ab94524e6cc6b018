# Finds HarfBuzz (Debian's libharfbuzz-dev, or a cross-built copy under CMAKE_PREFIX_PATH) and
# provides the imported target HarfBuzz::HarfBuzz.
find_path(HarfBuzz_INCLUDE_DIR hb.h PATH_SUFFIXES harfbuzz)
find_library(HarfBuzz_LIBRARY NAMES harfbuzz)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(HarfBuzz REQUIRED_VARS HarfBuzz_LIBRARY HarfBuzz_INCLUDE_DIR)
if(HarfBuzz_FOUND AND NOT TARGET HarfBuzz::HarfBuzz)
  add_library(HarfBuzz::HarfBuzz UNKNOWN IMPORTED)
  set_target_properties(HarfBuzz::HarfBuzz PROPERTIES IMPORTED_LOCATION "${HarfBuzz_LIBRARY}"
                        INTERFACE_INCLUDE_DIRECTORIES "${HarfBuzz_INCLUDE_DIR}")
endif()
mark_as_advanced(HarfBuzz_INCLUDE_DIR HarfBuzz_LIBRARY)
