// Node reads and writes of the acquisition controller: each value read under its own short
// hold of the parameter-tree lock; a value stored only when it differs, its subscribers
// called after the lock was released.
#pragma once

#include <cstdint>
#include <string>

#include "Host/scpi/exec/KorvexChannel.h"

namespace Korvex {

class CKorvexPeripheral;
class CParameterNode;

std::string AcqReadString(CParameterNode* node);
bool AcqReadBool(CParameterNode* node);
std::int32_t AcqReadInt(CParameterNode* node);
double AcqReadDouble(CParameterNode* node);

void AcqStoreIfChanged(CParameterNode* node, bool value);
void AcqStoreIfChanged(CParameterNode* node, std::int32_t value);
void AcqStoreIfChanged(CParameterNode* node, double value);

// The channel path text: the levels "%u" joined by "/".
std::string AcqChannelPath(const CKorvexChannel& channel);
// The channel address held in the first six bytes of a peripheral's name (at most 5
// levels).
CKorvexChannel AcqChannelOf(const CKorvexPeripheral* peripheral);

}  // namespace Korvex
