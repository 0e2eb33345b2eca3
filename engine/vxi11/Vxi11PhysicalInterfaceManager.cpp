#include "engine/vxi11/Vxi11PhysicalInterfaceManager.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "engine/AvlBst.h"
#include "engine/api/ZoDeviceInterface.h"
#include "engine/device/TcpIpDevice.h"
#include "engine/os/ScopedLock.h"
#include "engine/vxi11/Vxi11PhysicalInterface.h"
#include "engine/vxi11/Vxi11Status.h"

namespace {
constexpr std::uint32_t kApiVersion = 0x10400;             // version >> 8
constexpr std::uint32_t kIncompatible = 0x54364;
constexpr std::uint32_t kConstructionFailed = 0x54301;
constexpr std::uint32_t kNameExists = 0x54311;
constexpr std::uint32_t kAliasRefused = 0x54312;
constexpr std::size_t kNameSize = 24;

void FormatName(std::uint32_t number, char (&name)[kNameSize])
{
    std::snprintf(name, sizeof(name), "inst%lu", static_cast<unsigned long>(number));
}
} // namespace

CVxi11PhysicalInterfaceManager::CVxi11PhysicalInterfaceManager(std::uint32_t* status)
{
    *status = m_mutex.InitFailed() != 0 || m_lifetimeMutex.InitFailed() != 0 ? kConstructionFailed
                                                                             : 0;
}

CVxi11PhysicalInterfaceManager::~CVxi11PhysicalInterfaceManager()
{
    if (Count() != 0) {
        NotifyAll(kManagerDestroyed);
        // The sessions forgot their interfaces: they are the manager's to destroy.
        DestroyAll();
    }
    FreeAll(m_root);
    m_root = nullptr;
}

Korvex::CPhysicalInterface*
CVxi11PhysicalInterfaceManager::CreateInterface(const Korvex::ZoOpenDescriptor* descriptor,
                                                std::uint32_t number, std::uint32_t* status)
{
    if (descriptor == nullptr || (descriptor->apiVersion >> 8) != kApiVersion) {
        *status = kIncompatible;
        return nullptr;
    }
    char name[kNameSize];
    FormatName(number, name);
    CScopedLock lock(m_mutex);
    if (!lock.Held()) {
        *status = VXI11_STATUS_FAULT;
        return nullptr;
    }
    if (FindNode(name) != nullptr) {
        *status = kNameExists;
        return nullptr;
    }
    if (!Insert(name, nullptr)) {
        *status = VXI11_STATUS_NO_MEMORY;
        return nullptr;
    }
    std::uint32_t constructStatus = 0;
    auto* created = new (std::nothrow) CVxi11PhysicalInterface(this, number, &constructStatus);
    if (created == nullptr || constructStatus != 0 || !created->IsConstructed()) {
        Remove(name);
        delete created;
        *status = created == nullptr ? VXI11_STATUS_NO_MEMORY : kConstructionFailed;
        return nullptr;
    }
    FindNode(name)->value = created;
    ++m_count;
    *status = 0;
    return created;
}

void CVxi11PhysicalInterfaceManager::DestroyInterface(Korvex::CPhysicalInterface* physicalInterface,
                                                      std::uint32_t* status)
{
    auto* target = dynamic_cast<CVxi11PhysicalInterface*>(physicalInterface);
    if (target == nullptr || target->GetFactory() != this) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    CScopedLock lifetime(m_lifetimeMutex);
    {
        CScopedLock lock(m_mutex);
        if (!lock.Held()) {
            *status = VXI11_STATUS_FAULT;
            return;
        }
        // Every name bound to the interface goes.
        std::vector<SNode*> stack;
        stack.reserve(32);
        if (m_root != nullptr) {
            stack.push_back(m_root);
        }
        while (!stack.empty()) {
            SNode* node = stack.back();
            stack.pop_back();
            if (node->byte == '\0' && node->used != 0 && node->value == target) {
                node->used = 0;
                node->value = nullptr;
            }
            for (SNode* child : {node->lower, node->higher, node->equal}) {
                if (child != nullptr) {
                    stack.push_back(child);
                }
            }
        }
        Prune(m_root);
        if (m_count != 0) {
            --m_count;
        }
    }
    // Destroyed without the index mutex: an open interface closes on the way.
    delete target;
    *status = 0;
}

CVxi11LinkInterface* CVxi11PhysicalInterfaceManager::FindInterface(const char* name)
{
    return Find(name);
}

CVxi11PhysicalInterface* CVxi11PhysicalInterfaceManager::Find(const char* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    CScopedLock lock(m_mutex);
    if (!lock.Held()) {
        return nullptr;
    }
    SNode* node = FindNode(name);
    return node != nullptr ? node->value : nullptr;
}

void CVxi11PhysicalInterfaceManager::RegisterAlias(CVxi11PhysicalInterface* physicalInterface,
                                                   const void* settings, std::uint32_t* status)
{
    CScopedLock lock(m_mutex);
    if (!lock.Held()) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    const auto* names = static_cast<const Korvex::Vxi11DeviceNameSettings*>(settings);
    if (names != nullptr && names->nameSet != 0) {
        char alias[sizeof(names->name) + 1] = {};
        std::memcpy(alias, names->name, sizeof(names->name));
        char own[kNameSize];
        FormatName(physicalInterface->GetNumber(), own);
        if (alias[0] == '\0' || std::strcmp(alias, own) == 0) {
            *status = kAliasRefused;
            return;
        }
        SNode* existing = FindNode(alias);
        if (existing != nullptr && existing->value != physicalInterface) {
            *status = kAliasRefused;
            return;
        }
        // Opened again with the same alias: it is listed already.
        if (existing == nullptr && !Insert(alias, physicalInterface)) {
            *status = VXI11_STATUS_NO_MEMORY;
            return;
        }
    }
    physicalInterface->SetOpenMark(true);
    *status = 0;
}

void CVxi11PhysicalInterfaceManager::ClearOpen(CVxi11PhysicalInterface* physicalInterface)
{
    CScopedLock lock(m_mutex);
    physicalInterface->SetOpenMark(false);
}

void CVxi11PhysicalInterfaceManager::NotifyAll(std::uint32_t event)
{
    CScopedLock lifetime(m_lifetimeMutex);
    if (!lifetime.Held()) {
        return;
    }
    Korvex::CAvlBst<CVxi11PhysicalInterface*, 32ul> collected;
    {
        CScopedLock lock(m_mutex);
        if (!lock.Held()) {
            return;
        }
        std::vector<SNode*> stack;
        stack.reserve(32);
        if (m_root != nullptr) {
            stack.push_back(m_root);
        }
        while (!stack.empty()) {
            SNode* node = stack.back();
            stack.pop_back();
            if (node->byte == '\0' && node->value != nullptr) {
                CVxi11PhysicalInterface* value = node->value;
                collected.Insert(std::move(value));
            }
            for (SNode* child : {node->lower, node->higher, node->equal}) {
                if (child != nullptr) {
                    stack.push_back(child);
                }
            }
        }
    }
    collected.ForEach([event](CVxi11PhysicalInterface* const& physicalInterface) {
        physicalInterface->NotifyDeviceEventOutside(event);
        return true;
    });
}

std::uint32_t CVxi11PhysicalInterfaceManager::Count()
{
    CScopedLock lock(m_mutex);
    return m_count;
}

// ---- index ----

CVxi11PhysicalInterfaceManager::SNode*
CVxi11PhysicalInterfaceManager::FindNode(const char* name) const
{
    SNode* node = m_root;
    const char* byte = name;
    while (node != nullptr) {
        if (*byte < node->byte) {
            node = node->lower;
        } else if (*byte > node->byte) {
            node = node->higher;
        } else if (*byte == '\0') {
            return node->used != 0 ? node : nullptr;
        } else {
            node = node->equal;
            ++byte;
        }
    }
    return nullptr;
}

bool CVxi11PhysicalInterfaceManager::Insert(const char* name, CVxi11PhysicalInterface* value)
{
    SNode** link = &m_root;
    const char* byte = name;
    for (;;) {
        SNode* node = *link;
        if (node == nullptr) {
            node = new (std::nothrow) SNode;
            if (node == nullptr) {
                // The nodes made so far carry no name.
                Prune(m_root);
                return false;
            }
            node->byte = *byte;
            *link = node;
        }
        if (*byte < node->byte) {
            link = &node->lower;
        } else if (*byte > node->byte) {
            link = &node->higher;
        } else if (*byte == '\0') {
            node->used = 1;
            node->value = value;
            return true;
        } else {
            link = &node->equal;
            ++byte;
        }
    }
}

void CVxi11PhysicalInterfaceManager::Remove(const char* name)
{
    SNode* node = FindNode(name);
    if (node != nullptr) {
        node->used = 0;
        node->value = nullptr;
        Prune(m_root);
    }
}

void CVxi11PhysicalInterfaceManager::Prune(SNode*& node)
{
    if (node == nullptr) {
        return;
    }
    Prune(node->lower);
    Prune(node->higher);
    Prune(node->equal);
    if (node->lower == nullptr && node->higher == nullptr && node->equal == nullptr &&
        node->used == 0) {
        delete node;
        node = nullptr;
    }
}

void CVxi11PhysicalInterfaceManager::FreeAll(SNode* node)
{
    if (node == nullptr) {
        return;
    }
    FreeAll(node->lower);
    FreeAll(node->higher);
    FreeAll(node->equal);
    delete node;
}

void CVxi11PhysicalInterfaceManager::DestroyAll()
{
    for (;;) {
        CVxi11PhysicalInterface* next = nullptr;
        {
            CScopedLock lock(m_mutex);
            std::vector<SNode*> stack;
            if (m_root != nullptr) {
                stack.push_back(m_root);
            }
            while (!stack.empty() && next == nullptr) {
                SNode* node = stack.back();
                stack.pop_back();
                if (node->byte == '\0' && node->value != nullptr) {
                    next = node->value;
                }
                for (SNode* child : {node->lower, node->higher, node->equal}) {
                    if (child != nullptr) {
                        stack.push_back(child);
                    }
                }
            }
        }
        if (next == nullptr) {
            return;
        }
        std::uint32_t status = 0;
        DestroyInterface(next, &status);
    }
}
