// SQLite's keywords: the one list that both the typed Table API (through
// norvane._native.KEYWORDS) and the exactness guards of find read.
#pragma once

#include <cstddef>

namespace norvane {

// The keywords a plain name must not be, upper case.
extern const char* const kKeywords[];
extern const size_t kKeywordCount;

}  // namespace norvane
