// The VXI-11 physical interface as the link registry and the operation guard reach it: the
// link procedures (each runs under its link's mutex) and whether the interface is open.
// Every operation writes its status; DeviceWrite/Read return the bytes taken/delivered.
#pragma once

#include <cstdint>

class CVxi11Client;

class CVxi11LinkInterface {
public:
    virtual ~CVxi11LinkInterface() = default;

    // 1 while open.
    virtual std::uint8_t IsActive() = 0;

    virtual std::uint32_t Write(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                                bool end, std::uint32_t ioTimeout, std::uint32_t count,
                                const std::uint8_t* data, std::uint32_t* status) = 0;
    // *reason gets the VXI-11 reason bits (2 CHR, 4 END; 1 REQCNT is the caller's).
    virtual std::uint32_t Read(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                               bool termCharSet, std::uint8_t termChar, std::uint32_t ioTimeout,
                               std::uint32_t count, std::uint8_t* destination,
                               std::uint32_t* reason, std::uint32_t* status) = 0;
    // Sends the device_readstb reply on connection itself.
    virtual void ReadStatusByte(CVxi11Client* connection, std::uint32_t xid, std::uint32_t lid,
                                bool waitLock, std::uint32_t lockTimeout,
                                std::uint32_t ioTimeout, std::uint32_t* status) = 0;
    virtual void Trigger(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                         std::uint32_t ioTimeout, std::uint32_t* status) = 0;
    virtual void Clear(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                       std::uint32_t ioTimeout, std::uint32_t* status) = 0;
    virtual void Remote(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                        std::uint32_t ioTimeout, std::uint32_t* status) = 0;
    virtual void Local(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                       std::uint32_t ioTimeout, std::uint32_t* status) = 0;
    virtual void Lock(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                      std::uint32_t* status) = 0;
    virtual void Unlock(std::uint32_t lid, std::uint32_t* status) = 0;
    virtual void Abort(std::uint32_t lid, std::uint32_t* status) = 0;
    // The link's client has gone: before its operations are aborted, what it is owed is
    // owed to nobody.
    virtual void LinkGoing(std::uint32_t lid) { (void)lid; }
    // The link is gone (destroy_link, its connection ended): a message it left without END,
    // or the response still owed to its last message, must not reach another link.
    virtual void DropUnfinished(std::uint32_t lid) { (void)lid; }
};

// Where create_link finds interfaces by device name (the interface manager).
class CVxi11InterfaceDirectory {
public:
    virtual ~CVxi11InterfaceDirectory() = default;
    // The interface listed under name, or null.
    virtual CVxi11LinkInterface* FindInterface(const char* name) = 0;
};
