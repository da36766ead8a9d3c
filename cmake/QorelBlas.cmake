# Links the engine against OpenBLAS for the batched exact scan, when one is found.
#
# QOREL_BLAS (default ON) looks first for the registry's scipy-openblas32 wheel in the Python
# environment that builds us (a build requirement, so `pip install .` needs no root), then for
# a system OpenBLAS (Debian's libopenblas-dev). Without either, or with the option OFF, the
# engine scores batches with its own kernels and prints the BLAS hint at the first exact scan.
#
# The wheel's library exports every symbol with a "scipy_" prefix; QOREL_BLAS_PREFIX tells
# src/core/blas.cc which names to call. At run time the installed extension finds the wheel's
# library through its RPATH, relative to its own place: beside it in the same site-packages
# (either install layout). No path of the build machine is baked into the installed module; a
# module loaded from its build tree finds the library through the build tree's RPATH.
#
# Sets QOREL_HAVE_BLAS. Include after qorel_core is defined and before the targets that link it.

option(QOREL_BLAS "Score batches of exact queries with OpenBLAS when it is found" ON)
set(QOREL_HAVE_BLAS OFF)

if(QOREL_BLAS)
  find_package(Python 3.9 COMPONENTS Interpreter QUIET)
  if(Python_Interpreter_FOUND)
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -c
              "import scipy_openblas32 as s; print(s.get_lib_dir()); print(s.get_library())"
      RESULT_VARIABLE _qb_rc OUTPUT_VARIABLE _qb_out ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(_qb_rc EQUAL 0)
      string(REPLACE "\n" ";" _qb_lines "${_qb_out}")
      list(GET _qb_lines 0 _qb_libdir)
      list(GET _qb_lines 1 _qb_name)
      find_library(QOREL_BLAS_LIBRARY NAMES ${_qb_name} PATHS "${_qb_libdir}" NO_DEFAULT_PATH)
      if(QOREL_BLAS_LIBRARY)
        set(QOREL_BLAS_PREFIX "scipy_")
        set(QOREL_HAVE_BLAS ON)
        list(APPEND CMAKE_INSTALL_RPATH "$ORIGIN/scipy_openblas32/lib" "$ORIGIN/../scipy_openblas32/lib")
      endif()
    endif()
  endif()
  if(NOT QOREL_HAVE_BLAS)
    unset(QOREL_BLAS_LIBRARY CACHE)
    find_library(QOREL_BLAS_LIBRARY NAMES openblas)
    if(QOREL_BLAS_LIBRARY)
      set(QOREL_BLAS_PREFIX "")
      set(QOREL_HAVE_BLAS ON)
    endif()
  endif()
endif()

if(QOREL_HAVE_BLAS)
  message(STATUS "Batched exact search through OpenBLAS: ${QOREL_BLAS_LIBRARY}")
  target_link_libraries(qorel_core PRIVATE "${QOREL_BLAS_LIBRARY}")
  set_property(SOURCE src/core/blas.cc APPEND PROPERTY COMPILE_DEFINITIONS
               QOREL_HAVE_BLAS=1 QOREL_BLAS_PREFIX=${QOREL_BLAS_PREFIX})
else()
  message(STATUS "Batched exact search without BLAS (the engine's own kernels)")
endif()
