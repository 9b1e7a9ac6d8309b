# Locates the scipy-openblas32 wheel through the build's Python interpreter.
# Sets QUVARIN_OPENBLAS_INCLUDE_DIR (cblas.h), QUVARIN_OPENBLAS_LIBRARY (the
# shared library to ship), QUVARIN_OPENBLAS_LICENSE (its licence, shipped
# in the wheel's metadata) and QUVARIN_OPENBLAS_VERSION (the wheel's version,
# for the wheel's SBOM), and the folder and file name under which the
# library is shipped beside each binary that multiplies matrices.
#
# A cross build gives the first two itself, from the wheel built for its
# target: the one installed beside the interpreter is the host's.
if(NOT (QUVARIN_OPENBLAS_INCLUDE_DIR AND QUVARIN_OPENBLAS_LIBRARY))
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
      "import importlib.metadata as m, scipy_openblas32 as o
print(o.get_include_dir())
print(o.get_lib_dir() + '/' + o.get_library(True))
d = m.distribution('scipy-openblas32')
print(next(d.locate_file(f) for f in d.files if f.name.upper().startswith('LICENSE')))
print(d.version)"
    OUTPUT_VARIABLE _quvarin_openblas_paths
    ERROR_VARIABLE _quvarin_openblas_error
    RESULT_VARIABLE _quvarin_openblas_result
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _quvarin_openblas_result EQUAL 0)
    message(FATAL_ERROR
      "scipy-openblas32 is not importable by ${Python_EXECUTABLE}; install the build "
      "requirements of pyproject.toml (pip install does this).\n${_quvarin_openblas_error}")
  endif()
  string(REPLACE "\n" ";" _quvarin_openblas_paths "${_quvarin_openblas_paths}")
  list(GET _quvarin_openblas_paths 0 QUVARIN_OPENBLAS_INCLUDE_DIR)
  list(GET _quvarin_openblas_paths 1 QUVARIN_OPENBLAS_LIBRARY)
  list(GET _quvarin_openblas_paths 2 QUVARIN_OPENBLAS_LICENSE)
  list(GET _quvarin_openblas_paths 3 QUVARIN_OPENBLAS_VERSION)
endif()

set(QUVARIN_OPENBLAS_SHIPPED_DIR "quvarin.libs")
get_filename_component(QUVARIN_OPENBLAS_SHIPPED_NAME "${QUVARIN_OPENBLAS_LIBRARY}" NAME)
