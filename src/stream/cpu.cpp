// CPU feature detection: the one place that asks which optional instructions
// this processor has, for the code paths chosen at run time.
#include "stream.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

bool cpu_has_pclmul()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul");
}

bool cpu_has_bmi2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2");
}

#else

bool cpu_has_pclmul()
{
    return false;
}

bool cpu_has_bmi2()
{
    return false;
}

#endif
