# Finds the engine's dependencies. oneTBB, nlohmann/json and GoogleTest come from the system
# (scripts/setup.sh installs them). SimSIMD is header-only and pinned: an installed copy of the
# pinned version is used when one is found, otherwise its source distribution is fetched
# through pip from the package registry into the build directory.

find_package(Threads REQUIRED)
find_package(TBB REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)

set(QOREL_SIMSIMD_VERSION "6.5.16")

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
  set(_dest "${CMAKE_BINARY_DIR}/_deps/simsimd")
  set(_src "${_dest}/simsimd-${QOREL_SIMSIMD_VERSION}")
  if(NOT EXISTS "${_src}/include/simsimd/simsimd.h")
    find_package(Python 3.9 COMPONENTS Interpreter REQUIRED)
    message(STATUS "Fetching the SimSIMD ${QOREL_SIMSIMD_VERSION} source distribution through pip")
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps --no-binary :all:
              --dest "${_dest}" "simsimd==${QOREL_SIMSIMD_VERSION}"
      RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "could not download simsimd==${QOREL_SIMSIMD_VERSION} through pip")
    endif()
    file(ARCHIVE_EXTRACT INPUT "${_dest}/simsimd-${QOREL_SIMSIMD_VERSION}.tar.gz" DESTINATION "${_dest}")
  endif()
  set(QOREL_SIMSIMD_INCLUDE "${_src}/include" CACHE PATH "SimSIMD include directory" FORCE)
endif()

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
