// kedo: distinct rows of a floating-point matrix, within a tolerance.
#ifndef KEDO_KEDO_HPP
#define KEDO_KEDO_HPP

#include "kedo/allocator.hpp"
#include "kedo/sorting.hpp"
#include "kedo/uff.hpp"
#include "kedo/unique_ids.hpp"

#endif  // KEDO_KEDO_HPP
