// The VXI-11 server's factory of physical interfaces and the directory in which create_link
// finds them: every interface is listed under "inst<n>" and, once its device opened with an
// alias, under the alias too (a ternary search tree over the names' bytes).
//
// The index mutex guards the tree and the count. Device-wide events (NotifyAll) are
// delivered without it, since an interface that closes clears its mark here; a second mutex,
// taken by NotifyAll and DestroyInterface, keeps the interfaces collected alive meanwhile.
// Lock order: the registry mutex before the index mutex (create_link).
#pragma once

#include <cstdint>

#include "engine/os/OSMutex.h"
#include "engine/session/PhysicalInterfaceFactory.h"
#include "engine/vxi11/Vxi11LinkInterface.h"

class CVxi11PhysicalInterface;

class CVxi11PhysicalInterfaceManager : public Korvex::CPhysicalInterfaceFactory,
                                       public CVxi11InterfaceDirectory {
public:
    // Device event of the manager's end: the interfaces close and are forgotten.
    static constexpr std::uint32_t kManagerDestroyed = 52;

    // status 0, or 0x54301 when a mutex could not be made.
    explicit CVxi11PhysicalInterfaceManager(std::uint32_t* status);
    // Sends kManagerDestroyed to every interface left, then destroys them.
    ~CVxi11PhysicalInterfaceManager() override;
    CVxi11PhysicalInterfaceManager(const CVxi11PhysicalInterfaceManager&) = delete;
    CVxi11PhysicalInterfaceManager& operator=(const CVxi11PhysicalInterfaceManager&) = delete;

    // 0x54364 unsupported API version; 0x54311 "inst<n>" exists; 0x543F0 out of memory;
    // 0x54301 the interface could not be made completely.
    Korvex::CPhysicalInterface* CreateInterface(const Korvex::ZoOpenDescriptor* descriptor,
                                                std::uint32_t number,
                                                std::uint32_t* status) override;
    // 0x543FF when the interface is not one of this manager's.
    void DestroyInterface(Korvex::CPhysicalInterface* physicalInterface,
                          std::uint32_t* status) override;
    CVxi11LinkInterface* FindInterface(const char* name) override;
    // The interface listed under name, or null.
    CVxi11PhysicalInterface* Find(const char* name);
    // The interface opens: lists its alias (0x54312 when it equals its own name or is taken,
    // 0x543F0 out of memory) and marks it open.
    void RegisterAlias(CVxi11PhysicalInterface* physicalInterface, const void* settings,
                       std::uint32_t* status);
    // The interface closes; its names stay listed.
    void ClearOpen(CVxi11PhysicalInterface* physicalInterface);
    // Called (outside the manager's mutexes) each time an interface has opened and accepts
    // links: the server then makes itself known to controllers.
    void SetOpenListener(void (*listener)()) { m_openListener = listener; }
    void NotifyOpened()
    {
        if (m_openListener != nullptr) {
            m_openListener();
        }
    }
    // Passes a device event to every interface (each once) from the calling thread.
    void NotifyAll(std::uint32_t event);
    std::uint32_t Count();

private:
    struct SNode {
        char byte = 0;
        std::uint8_t used = 0;  // NUL node: a name ends here
        SNode* lower = nullptr;
        SNode* higher = nullptr;
        SNode* equal = nullptr;  // the NUL node's interface is kept in value
        CVxi11PhysicalInterface* value = nullptr;
    };

    // With the index mutex held.
    SNode* FindNode(const char* name) const;
    // Lists name bound to value; false without memory (nothing changed then).
    bool Insert(const char* name, CVxi11PhysicalInterface* value);
    void Remove(const char* name);
    // Frees the nodes below (and including) node that carry no name.
    static void Prune(SNode*& node);
    static void FreeAll(SNode* node);
    void DestroyAll();

    COSMutex m_mutex;
    COSMutex m_lifetimeMutex;
    void (*m_openListener)() = nullptr;
    SNode* m_root = nullptr;
    std::uint32_t m_count = 0;
};
