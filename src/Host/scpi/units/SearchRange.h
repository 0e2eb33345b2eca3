// Keeps the frequency-search limits (measure_parms/search/low and high, in tesla) and the
// search value consistent: when a probe is selected and after SCPI set a limit. Each
// function holds the tree lock over its whole read-modify-write, so a probe selection on
// another thread cannot interleave; subscribers of the changed attributes run on the
// calling thread inside that hold.
#pragma once

namespace Korvex {

// New field range of the selected probe(s): low and high get minimum low, maximum high and
// value = default = their own limit; the search value's range becomes [low, high] and its
// value is clamped into it.
void KorvexRescaleSearchNodes(double low, double high);

// A low limit above the high limit is lowered to it; the search value's range becomes
// [low, high] and its value is clamped into it.
void KorvexUpdateSearchRange();

// A high limit below the low limit is raised to it; the search value's range becomes
// [low, high] and its value is clamped into it.
void KorvexUpdateSearchRange2();

}  // namespace Korvex
