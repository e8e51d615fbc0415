// The soft backend of fuzz_f80, run in the caller's floating-point
// environment as it comes: it must need none.
#define QUORVANE_F80_SOFT 1
#define quorvane quorvane_soft
#include "schemes_float.hpp"
#undef quorvane

#define F80_LIBRARY quorvane_soft
#define F80_BACKEND soft_backend
#define F80_NAME "soft"
#define F80_SCOPED 0
#include "f80_backend_impl.hpp"
