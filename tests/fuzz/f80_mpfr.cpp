// The MPFR backend of fuzz_f80: the reference.
#define QUORVANE_F80_MPFR 1
#define quorvane quorvane_mpfr
#include "schemes_float.hpp"
#undef quorvane

#define F80_LIBRARY quorvane_mpfr
#define F80_BACKEND mpfr_backend
#define F80_NAME "mpfr"
#define F80_SCOPED 1
#include "f80_backend_impl.hpp"
