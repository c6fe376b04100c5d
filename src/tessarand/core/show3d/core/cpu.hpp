// What the processor offers beyond the baseline the module is built for.
// No Python here.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define S3D_X86_AVX2 1
#endif

namespace show3d {

#ifdef S3D_X86_AVX2
// Whether functions built for AVX2 (target attribute) may run here.
inline bool processor_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}
#else
inline bool processor_has_avx2() { return false; }
#endif

} // namespace show3d
