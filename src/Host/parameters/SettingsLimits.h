// The limits a settings node sets its own value: minimum and maximum of a number, the
// choices of a text. A value read from a settings file that its node would refuse from a
// host is not kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Korvex {

class CParameterNode;

// Whether the node's value lies within its own limits: an Int32 or Float64 value within
// [minimum, maximum] (NaN never), a String value equal to one of its choices (separated
// by '|' or ','; no choices accept any text). Other types have no limits.
bool KorvexValueWithinLimits(CParameterNode* node);
// Whether the node's limits take the value as its new value (a node of another type: yes).
bool KorvexAcceptsValue(CParameterNode* node, std::int32_t value);
bool KorvexAcceptsValue(CParameterNode* node, double value);
bool KorvexAcceptsValue(CParameterNode* node, const std::string& value);

// Every leaf of tree whose value lies outside its limits, or that is among unreadable
// (its value was no number), gets the value of the node at the same path in reference
// (when that node has the same type); each such path is logged once as
// "<logPrefix><path> out of range; factory value kept". Returns how many were set.
unsigned KorvexKeepReferenceValues(CParameterNode* tree, CParameterNode* reference,
                                   const char* logPrefix,
                                   const std::vector<CParameterNode*>& unreadable = {});

}  // namespace Korvex
