// kedo: distinct rows of a floating-point matrix, within a tolerance.
//
// Public API (contracts beside each declaration; docs/cpp.md summarises them):
//   kedo::UniqueIds          sort method: order, group and number the rows
//   kedo::SortIdsAndInverse  renumber groups by ascending representative row
//   kedo::Uff                Uff method: key-ordered sweep around anchors
//   kedo::ArgSort            stable argsort used by Uff
//   kedo::IndexVector        vector of row numbers that grows without zeroing
// Everything in kedo::internal serves these and may change.
#ifndef KEDO_KEDO_HPP
#define KEDO_KEDO_HPP

#include "kedo/allocator.hpp"
#include "kedo/sorting.hpp"
#include "kedo/uff.hpp"
#include "kedo/unique_ids.hpp"

#endif  // KEDO_KEDO_HPP
