// SHA-256 from Nettle, the small cryptography library every Linux
// distribution packages (Debian: nettle-dev).
#include "sha256.h"

#include <nettle/sha2.h>

static_assert(SHA256_DIGEST_SIZE == SHA256_SIZE);

bool sha256(const uint8_t *data, size_t size, uint8_t out[SHA256_SIZE]) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, size, data);
  sha256_digest(&context, SHA256_SIZE, out);
  return true;
}
