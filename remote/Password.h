// The remote front's password: a salted scrypt hash kept in kanalo.conf as
// "scrypt$N$r$p$SALT$HASH" (salt and hash in base64), so that the file never holds the password
// and a stolen file costs an attacker scrypt's memory and time per guess.
// Thread: any; Hash and Verify take ~0.1 s and 32 MiB at the default cost (call them rarely).
#pragma once

#include <string>

namespace remote {

struct ScryptCost {
  uint64_t n = 1u << 15;
  uint32_t r = 8, p = 1;
};

// A new hash of `password` with a fresh random salt; empty when the library failed.
std::string HashPassword(const std::string& password, ScryptCost cost = {});
// Whether `password` matches `stored`; false for a malformed or too costly `stored` value (a
// hand-edited file must not make each login take minutes or gigabytes).
bool VerifyPassword(const std::string& password, const std::string& stored);
// Whether `stored` has the form HashPassword writes (the host configuration checks it).
bool IsPasswordHash(const std::string& stored);

}  // namespace remote
