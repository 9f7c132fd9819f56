// Byte reversal of 16-, 32- and 64-bit values with the compiler's own
// instruction (a single bswap or rev), on GCC, Clang and MSVC alike.
#ifndef ZEB_BYTESWAP_H
#define ZEB_BYTESWAP_H

#include <cstdint>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__)
#  include <stdlib.h>
#endif

namespace zeb {

template <typename U> inline U byteswap(U v) noexcept
{
    static_assert(std::is_unsigned_v<U> && (sizeof(U) == 2 || sizeof(U) == 4 || sizeof(U) == 8));
#if defined(_MSC_VER) && !defined(__clang__)
    if constexpr (sizeof(U) == 2)
        return _byteswap_ushort(v);
    else if constexpr (sizeof(U) == 4)
        return _byteswap_ulong(v);
    else
        return _byteswap_uint64(v);
#else
    if constexpr (sizeof(U) == 2)
        return __builtin_bswap16(v);
    else if constexpr (sizeof(U) == 4)
        return __builtin_bswap32(v);
    else
        return __builtin_bswap64(v);
#endif
}

}  // namespace zeb

#endif
