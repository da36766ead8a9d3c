# Finds the engine's dependencies.
#
# oneTBB and nlohmann/json come from the Python environment that runs the build when the
# package registry's wheels are installed there (tbb-devel, nlohmann-json: `pip install .`
# brings them in through [build-system] requires), so a build needs nothing system-wide beyond
# a C++ compiler. With QOREL_DEPS_FROM_PYTHON=OFF, or when those wheels are absent, the usual
# CMake search finds installed copies (for example the Debian packages). GoogleTest, needed
# only by the C++ tests, always comes from the system.
#
# SimSIMD is header-only and pinned. In order of preference: an installed copy of the pinned
# version (SIMSIMD_ROOT helps the search), the source distribution named by QOREL_SIMSIMD_SDIST
# (for offline builds: `pip download --no-deps --no-binary :all: simsimd==<version>`), or the
# source distribution fetched through pip from the package registry into the build directory.

option(QOREL_DEPS_FROM_PYTHON "Take oneTBB and nlohmann/json from the registry wheels installed in the build's Python environment" ON)
set(QOREL_SIMSIMD_SDIST "" CACHE FILEPATH "A downloaded simsimd source distribution (.tar.gz) to take the headers from")

find_package(Threads REQUIRED)

set(QOREL_SIMSIMD_VERSION "6.5.16")
set(_qorel_locate "${CMAKE_CURRENT_LIST_DIR}/qorel_locate.py")

if(QOREL_DEPS_FROM_PYTHON OR NOT QOREL_SIMSIMD_SDIST)
  find_package(Python 3.9 COMPONENTS Interpreter)
endif()

# Sets OUT to the path of the file of an installed Python distribution, or to "" when the
# distribution (or the file) is not there.
function(qorel_locate_dist_file out dist suffix)
  set(_path "")
  if(Python_Interpreter_FOUND)
    execute_process(
      COMMAND "${Python_EXECUTABLE}" "${_qorel_locate}" file "${dist}" "${suffix}"
      OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _rc ERROR_QUIET)
    if(NOT _rc EQUAL 0)
      set(_path "")
    endif()
  endif()
  set(${out} "${_path}" PARENT_SCOPE)
endfunction()

# Sets OUT to the directory DEST/DIST-VERSION, the source distribution DIST==VERSION unpacked,
# which holds the file MARKER: unpacked there by an earlier configure, else from SDIST (a
# downloaded copy, named by the cache variable SDIST_OPTION) or, without one, from a copy
# fetched through pip from the package registry. LABEL names the distribution in messages.
function(qorel_fetch_sdist out label dist version sdist sdist_option dest marker)
  set(_src "${dest}/${dist}-${version}")
  if(NOT EXISTS "${_src}/${marker}")
    set(_sdist "${sdist}")
    if(NOT _sdist)
      if(NOT Python_Interpreter_FOUND)
        find_package(Python 3.9 COMPONENTS Interpreter)
      endif()
      if(NOT Python_Interpreter_FOUND)
        message(FATAL_ERROR "${label} ${version} not found, and no Python to fetch it with: set ${sdist_option}")
      endif()
      # pip is among the build requirements, so this works inside pip's isolated build
      # environment too.
      message(STATUS "Fetching the ${label} ${version} source distribution through pip")
      execute_process(
        COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps --no-binary :all:
                --dest "${dest}" "${dist}==${version}"
        RESULT_VARIABLE _rc)
      if(NOT _rc EQUAL 0)
        message(FATAL_ERROR "could not download ${dist}==${version} through pip; "
                            "offline, pass -D${sdist_option}=<path of ${dist}-${version}.tar.gz>")
      endif()
      set(_sdist "${dest}/${dist}-${version}.tar.gz")
    endif()
    if(NOT EXISTS "${_sdist}")
      message(FATAL_ERROR "${label} source distribution ${_sdist} does not exist")
    endif()
    file(ARCHIVE_EXTRACT INPUT "${_sdist}" DESTINATION "${dest}")
    if(NOT EXISTS "${_src}/${marker}")
      message(FATAL_ERROR "${_sdist} is not the ${label} ${version} source distribution")
    endif()
  endif()
  set(${out} "${_src}" PARENT_SCOPE)
endfunction()

# --- oneTBB -------------------------------------------------------------------------------
set(_tbb_from_python OFF)
if(QOREL_DEPS_FROM_PYTHON)
  qorel_locate_dist_file(_tbb_config tbb-devel "/cmake/tbb/TBBConfig.cmake")
  if(_tbb_config)
    get_filename_component(_tbb_dir "${_tbb_config}" DIRECTORY)
    # Forced, so that a build directory configured earlier against another copy follows.
    set(TBB_DIR "${_tbb_dir}" CACHE PATH "Directory of TBBConfig.cmake" FORCE)
    set(_tbb_from_python ON)
  endif()
endif()
find_package(TBB CONFIG REQUIRED COMPONENTS tbb)
message(STATUS "oneTBB: ${TBB_DIR}")

if(_tbb_from_python)
  # The registry's `tbb` wheel puts libtbb.so.12 in the environment's lib directory. The
  # installed module finds it there relative to its own place in site-packages, so importing
  # needs no LD_LIBRARY_PATH and never picks up some other copy first.
  execute_process(
    COMMAND "${Python_EXECUTABLE}" "${_qorel_locate}" rpath
    OUTPUT_VARIABLE _rel_libdir OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "could not work out the environment's library directory")
  endif()
  list(APPEND CMAKE_INSTALL_RPATH "$ORIGIN/${_rel_libdir}")
endif()

# --- nlohmann/json ------------------------------------------------------------------------
set(_json_include "")
if(QOREL_DEPS_FROM_PYTHON)
  qorel_locate_dist_file(_json_header nlohmann-json "/include/nlohmann/json.hpp")
  if(_json_header)
    get_filename_component(_json_include "${_json_header}" DIRECTORY)
    get_filename_component(_json_include "${_json_include}" DIRECTORY)
  endif()
endif()
if(_json_include)
  file(STRINGS "${_json_include}/nlohmann/detail/abi_macros.hpp" _ver
       REGEX "#define NLOHMANN_JSON_VERSION_(MAJOR|MINOR) +[0-9]+")
  string(REGEX REPLACE ".*MAJOR +([0-9]+).*MINOR +([0-9]+).*" "\\1.\\2" _json_version "${_ver}")
  if(_json_version VERSION_LESS 3.10)
    message(FATAL_ERROR "nlohmann/json ${_json_version} at ${_json_include} is older than 3.10")
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  # SYSTEM also puts these headers ahead of the compiler's default directories, so a copy in
  # /usr/include cannot shadow the one found here.
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE "${_json_include}")
  message(STATUS "nlohmann/json ${_json_version}: ${_json_include}")
  set(_json_from "${_json_include}")
else()
  find_package(nlohmann_json 3.10 REQUIRED)
  message(STATUS "nlohmann/json ${nlohmann_json_VERSION}: ${nlohmann_json_DIR}")
  set(_json_from "${nlohmann_json_DIR}")
endif()
# Where nlohmann/json came from (oneTBB's is TBB_DIR), for scripts/check_build_deps.sh.
set(QOREL_JSON_FROM "${_json_from}" CACHE INTERNAL "Where nlohmann/json was found")

# --- SimSIMD ------------------------------------------------------------------------------
find_path(QOREL_SIMSIMD_INCLUDE simsimd/simsimd.h PATHS "${SIMSIMD_ROOT}" PATH_SUFFIXES include)
if(QOREL_SIMSIMD_INCLUDE)
  file(STRINGS "${QOREL_SIMSIMD_INCLUDE}/simsimd/simsimd.h" _ver REGEX "#define SIMSIMD_VERSION_(MAJOR|MINOR|PATCH) ")
  string(REGEX REPLACE ".*MAJOR ([0-9]+).*MINOR ([0-9]+).*PATCH ([0-9]+).*" "\\1.\\2.\\3" _found "${_ver}")
  if(NOT _found STREQUAL QOREL_SIMSIMD_VERSION)
    message(STATUS "SimSIMD ${_found} at ${QOREL_SIMSIMD_INCLUDE} is not the pinned ${QOREL_SIMSIMD_VERSION}")
    unset(QOREL_SIMSIMD_INCLUDE CACHE)
  endif()
endif()

if(NOT QOREL_SIMSIMD_INCLUDE)
  qorel_fetch_sdist(_src SimSIMD simsimd "${QOREL_SIMSIMD_VERSION}" "${QOREL_SIMSIMD_SDIST}" QOREL_SIMSIMD_SDIST
                    "${CMAKE_BINARY_DIR}/_deps/simsimd" "include/simsimd/simsimd.h")
  set(QOREL_SIMSIMD_INCLUDE "${_src}/include" CACHE PATH "SimSIMD include directory" FORCE)
endif()
message(STATUS "SimSIMD ${QOREL_SIMSIMD_VERSION}: ${QOREL_SIMSIMD_INCLUDE}")

add_library(qorel_simsimd INTERFACE)
target_include_directories(qorel_simsimd SYSTEM INTERFACE "${QOREL_SIMSIMD_INCLUDE}")
# The float kernels of the AVX2 and AVX-512 generations are compiled in with per-function target
# attributes, whatever the baseline, and chosen at run time from the processor's capabilities.
target_compile_definitions(qorel_simsimd INTERFACE SIMSIMD_DYNAMIC_DISPATCH=0 SIMSIMD_NATIVE_F16=0 SIMSIMD_NATIVE_BF16=0)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
  target_compile_definitions(qorel_simsimd INTERFACE
    SIMSIMD_TARGET_HASWELL=1 SIMSIMD_TARGET_SKYLAKE=1 SIMSIMD_TARGET_ICE=0 SIMSIMD_TARGET_GENOA=0
    SIMSIMD_TARGET_SAPPHIRE=0 SIMSIMD_TARGET_TURIN=0 SIMSIMD_TARGET_SIERRA=0)
endif()

# --- Snowball's English stemmer -----------------------------------------------------------
# libstemmer_c, as bundled in the PyStemmer source distribution of the pinned version (later
# distributions download it while they build, which offline machines cannot). Only the runtime
# and the UTF-8 English stemmer are compiled. QOREL_PYSTEMMER_SDIST names a downloaded copy for
# offline builds (`pip download --no-deps --no-binary :all: PyStemmer==<version>`).
set(QOREL_PYSTEMMER_VERSION "2.0.1")
set(QOREL_PYSTEMMER_SDIST "" CACHE FILEPATH "A downloaded PyStemmer source distribution (.tar.gz) to take libstemmer_c from")
qorel_fetch_sdist(_stem_sdist PyStemmer PyStemmer "${QOREL_PYSTEMMER_VERSION}" "${QOREL_PYSTEMMER_SDIST}"
                  QOREL_PYSTEMMER_SDIST "${CMAKE_BINARY_DIR}/_deps/pystemmer" "libstemmer_c/src_c/stem_UTF_8_english.c")
set(_stem_src "${_stem_sdist}/libstemmer_c")
message(STATUS "libstemmer_c (PyStemmer ${QOREL_PYSTEMMER_VERSION}): ${_stem_src}")
add_library(qorel_stemmer STATIC
  "${_stem_src}/runtime/api.c"
  "${_stem_src}/runtime/utilities.c"
  "${_stem_src}/src_c/stem_UTF_8_english.c")
target_include_directories(qorel_stemmer SYSTEM PUBLIC "${_stem_src}")
set_target_properties(qorel_stemmer PROPERTIES POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET hidden)
# Third-party code: its warnings are its maintainers' business, not this build's errors.
target_compile_options(qorel_stemmer PRIVATE -w)
