// The engine allocator under its class name (CEngineAllocator); see Allocator.h.
#pragma once

#include "engine/os/Allocator.h"
