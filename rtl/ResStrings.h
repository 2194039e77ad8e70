// The component library's numbered message table (ids 28000 + n).
// Thread: any (the table is constant).
#pragma once

#include <string>

namespace rtl {

constexpr int kResBase = 28000;

// The text of message `id`; an unknown id yields "" (callers add their own fallback).
std::string LoadResString(int id);

}  // namespace rtl
