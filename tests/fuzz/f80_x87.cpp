// The x87 backend of fuzz_f80 (x86 only), inside its FloatEnvironment as
// the module runs it.
#if defined(__x86_64__) || defined(__i386__)
#define QUORVANE_F80_X87 1
#define quorvane quorvane_x87
#include "schemes_float.hpp"
#undef quorvane

#define F80_LIBRARY quorvane_x87
#define F80_BACKEND x87_backend
#define F80_NAME "x87"
#define F80_SCOPED 1
#include "f80_backend_impl.hpp"
#endif
