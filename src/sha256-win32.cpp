// SHA-256 from Windows' own cryptography (CNG, bcrypt.dll).
#include "sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>

bool sha256(const uint8_t *data, size_t size, uint8_t out[SHA256_SIZE]) {
  std::memset(out, 0, SHA256_SIZE);
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  // BCryptHashData takes a 32-bit count: larger inputs go in pieces.
  constexpr size_t kPiece = 0x40000000;
  for (size_t done = 0; ok && done < size; done += kPiece) {
    const size_t piece = size - done < kPiece ? size - done : kPiece;
    ok = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(data + done), static_cast<ULONG>(piece), 0));
  }
  if (ok)
    ok = BCRYPT_SUCCESS(BCryptFinishHash(hash, out, SHA256_SIZE, 0));
  if (hash)
    BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok)
    std::memset(out, 0, SHA256_SIZE);
  return ok;
}
