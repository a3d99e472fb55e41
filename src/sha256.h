#pragma once
#include <cstddef>
#include <cstdint>

// The SHA-256 digest of `size` bytes, written to `out` (32 bytes). The work is
// done by the platform's own cryptography (CNG on Windows, a packaged library
// elsewhere), never by code of ours. False, with `out` cleared, when the
// platform cannot compute it.
constexpr size_t SHA256_SIZE = 32;
bool sha256(const uint8_t *data, size_t size, uint8_t out[SHA256_SIZE]);
