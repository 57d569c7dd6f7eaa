// The published callables' table of signatures (published.cpp).
#pragma once

#include "binder.hpp"

#include <span>

namespace norvane {

// One entry per Fn, at its id: DB's methods first, then the module functions.
std::span<const FunctionSpec> published_specs();

}  // namespace norvane
