#pragma once

#include <cblas.h>

namespace quvarin::cpu {

using SgemmRoutine = decltype(&cblas_sgemm);

// OpenBLAS's cblas_sgemm, loaded on the first product. OpenBLAS starts its
// worker pool as soon as it is loaded, so loading it late keeps importing
// the module free of threads.
SgemmRoutine sgemm_routine();

}  // namespace quvarin::cpu
