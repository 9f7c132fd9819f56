// CRC-32C inside the file layer (zeb_crc32c is its exported form).
#ifndef ZEB_CRC32C_H
#define ZEB_CRC32C_H

#include <cstddef>
#include <cstdint>

#include "zebrecord.h"

namespace zeb {

// The CRC-32C of n bytes continued from crc (0 to start), zlib's convention.
uint32_t crc32c(uint32_t crc, const void *data, size_t n);

// The CRC-32C of bytes A then B from the CRCs of each (each from 0) and B's
// length: what crc32c(crc_a, B, length_b) gives, without B's bytes.
uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);

}  // namespace zeb

#endif
