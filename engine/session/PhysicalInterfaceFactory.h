// Makes and destroys the physical interfaces of one transport; the transport's manager
// implements it and registers it as a server kind with the engine.
#pragma once

#include <cstdint>

namespace Korvex {

class CPhysicalInterface;
struct ZoOpenDescriptor;

class CPhysicalInterfaceFactory {
public:
    virtual ~CPhysicalInterfaceFactory() = default;
    // A new physical interface for a session, or null with a status.
    virtual CPhysicalInterface* CreateInterface(const ZoOpenDescriptor* descriptor,
                                                std::uint32_t interfaceArgument,
                                                std::uint32_t* status) = 0;
    virtual void DestroyInterface(CPhysicalInterface* physicalInterface,
                                  std::uint32_t* status) = 0;
};

} // namespace Korvex
