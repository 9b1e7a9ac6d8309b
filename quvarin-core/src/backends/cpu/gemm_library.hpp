#pragma once

#include <cblas.h>

namespace quvarin::cpu {

using SgemmRoutine = decltype(&scipy_cblas_sgemm);

// OpenBLAS's cblas_sgemm, loaded on the first product from the copy shipped
// beside the binary that holds this code. OpenBLAS starts its worker pool as
// soon as it is loaded, so loading it late keeps importing the module free of
// threads.
SgemmRoutine sgemm_routine();

}  // namespace quvarin::cpu
