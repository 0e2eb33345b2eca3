#include "Host/scpi/status/KorvexScpiStatus.h"

#include <algorithm>
#include <vector>

#include "platform/kernel/Kernel.h"

namespace Korvex {

namespace {

constexpr std::uint16_t Bit15 = 0x8000;

// The blocks that all-sessions bits and errors reach, and the mutex that guards the list.
struct SessionList {
    SessionList() { kernel::mutex_init(&mutex); }
    kernel::Mutex mutex;
    std::vector<CKorvexScpiStatus*> blocks;
};

// Built on first use (a block may be built by any static initialiser) and never destroyed
// (blocks may outlive static destruction).
SessionList& Sessions() {
    static SessionList* list = new SessionList;
    return *list;
}

// Scoped hold of the session-list mutex; Locked() is false when the wait was broken.
class CListHold {
public:
    explicit CListHold(bool insist) : mutex(Sessions().mutex), locked(kernel::mutex_lock(&mutex)) {
        while (insist && !locked) locked = kernel::mutex_lock(&mutex);
    }
    ~CListHold() {
        if (locked) kernel::mutex_unlock(&mutex);
    }
    CListHold(const CListHold&) = delete;
    CListHold& operator=(const CListHold&) = delete;
    bool Locked() const { return locked; }

private:
    kernel::Mutex& mutex;
    bool locked;
};

// Hold of the status lock taken again after a broken wait: construction and destruction
// must complete whatever happens to the calling thread's waits.
class CInsistentStatusHold {
public:
    CInsistentStatusHold() {
        while (!CKorvexScpiStatus::StatusLock().Lock()) {
        }
    }
    ~CInsistentStatusHold() { CKorvexScpiStatus::StatusLock().Unlock(); }
    CInsistentStatusHold(const CInsistentStatusHold&) = delete;
    CInsistentStatusHold& operator=(const CInsistentStatusHold&) = delete;
};

std::uint32_t CheckedErrorRow(std::uint32_t row) {
    return row < SCPIErrorRowCount ? row : static_cast<std::uint32_t>(eScpiFirmwareError);
}

// Both device-less blocks exist before main(), whoever uses them first.
[[maybe_unused]] const bool blocksBuilt = (InstrumentBlock(), GlobalBlock(), true);

}  // namespace

CRecursiveMutex& CKorvexScpiStatus::StatusLock() {
    static CRecursiveMutex* lock = new CRecursiveMutex;
    return *lock;
}

CKorvexScpiStatus& InstrumentBlock() {
    static CKorvexScpiStatus* block = new CKorvexScpiStatus(nullptr, nullptr, nullptr);
    return *block;
}

CKorvexScpiStatus& GlobalBlock() {
    static CKorvexScpiStatus* block = new CKorvexScpiStatus(nullptr, nullptr, nullptr);
    return *block;
}

CKorvexScpiStatus::CKorvexScpiStatus(IServiceRequester* device_, const MavSource* mav,
                                     const CKorvexScpiStatus* templateBlock)
    : initialised(0),
      device(device_),
      mavSource(mav),
      condition{0, 0x80, 0, 0, 0, 0, 0},
      previous{0, 0x80, 0, 0, 0, 0, 0},
      ptr{0xFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF},
      ntr{},
      event{0, 0x80, 0, 0, 0, 0, 0},
      enable{0, 0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF},
      conditionMask{},
      errorQueue{},
      errorCount(0),
      mss(0),
      serviceRequestPending(0),
      previousSre(0) {
    CInsistentStatusHold hold;
    if (templateBlock != nullptr && templateBlock->initialised) {
        condition = templateBlock->condition;
        previous = templateBlock->previous;
    }
    conditionMask.fill(0xFFFF);
    for (const StatusBitRow& row : StatusBitTable) {
        if (row.pulse) conditionMask[row.reg] &= static_cast<std::uint16_t>(~row.mask);
    }
    EvaluateLocked();
    AddSession(this);
    initialised = 1;
}

CKorvexScpiStatus::~CKorvexScpiStatus() {
    CInsistentStatusHold hold;
    CListHold listHold(true);
    std::vector<CKorvexScpiStatus*>& blocks = Sessions().blocks;
    blocks.erase(std::remove(blocks.begin(), blocks.end(), this), blocks.end());
}

void CKorvexScpiStatus::AddSession(CKorvexScpiStatus* block) {
    if (block == nullptr) return;
    CListHold listHold(true);
    Sessions().blocks.push_back(block);
}

void CKorvexScpiStatus::EvaluateLocked() {
    std::uint16_t& stb = condition[eRegStatusByte];
    const std::uint16_t mav = StatusBitTable[eRowMessageAvailable].mask;
    const std::uint16_t queue = StatusBitTable[eRowErrorQueue].mask;
    if (mavSource != nullptr) {
        if (mavSource->load(std::memory_order_acquire) != nullptr) {
            stb |= mav;
        } else {
            stb &= static_cast<std::uint16_t>(~mav);
        }
    }
    if (errorCount != 0) {
        stb |= queue;
    } else {
        stb &= static_cast<std::uint16_t>(~queue);
    }

    for (const StatusSummaryLink& link : StatusSummaryLinkTable) {
        const std::uint32_t r = link.reg;
        const std::uint16_t t = condition[r] ^ previous[r];
        event[r] |= (ptr[r] & t & condition[r]) | (ntr[r] & t & previous[r]);
        SetBitLocked(link.row, (event[r] & enable[r]) != 0);
        condition[r] &= conditionMask[r];
        previous[r] = condition[r];
    }

    const std::uint16_t sre = enable[eRegStatusByte];
    const std::uint16_t summary = stb & sre;
    mss = summary != 0;
    if ((summary & ~(event[eRegStatusByte] & previousSre)) != 0) serviceRequestPending = 1;
    event[eRegStatusByte] = stb;
    previousSre = sre;
}

void CKorvexScpiStatus::RaiseServiceRequest() {
    if (serviceRequestPending && device != nullptr && device->RequestService() == 0) {
        serviceRequestPending = 0;
    }
}

void CKorvexScpiStatus::EvaluateAndRaise() {
    EvaluateLocked();
    RaiseServiceRequest();
}

void CKorvexScpiStatus::SetBitLocked(std::uint32_t row, std::uint8_t set) {
    const StatusBitRow& bit = StatusBitTable[row];
    if (set) {
        condition[bit.reg] |= bit.mask;
    } else {
        condition[bit.reg] &= static_cast<std::uint16_t>(~bit.mask);
    }
}

void CKorvexScpiStatus::QueueErrorLocked(std::uint32_t row) {
    if (errorCount < ErrorQueueCapacity) {
        errorQueue[errorCount++] = row;
    } else {
        errorQueue[ErrorQueueCapacity - 1] = eScpiQueueOverflow;
    }
    const std::uint32_t bitRow = SCPIErrorTable[row].statusBitRow;
    if (bitRow != eRowNone) SetBitLocked(bitRow, 1);
}

void CKorvexScpiStatus::Evaluate(CKorvexScpiStatus* block) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr) return;
    block->EvaluateLocked();
}

void CKorvexScpiStatus::SetStatusBit(CKorvexScpiStatus* block, std::uint32_t row,
                                     std::uint8_t set, std::uint8_t defer) {
    if (row >= StatusBitRowCount) return;
    if (StatusBitTable[row].allSessions) {
        SetStatusBitAllSessions(row, set, defer);
        return;
    }
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr) return;
    block->SetBitLocked(row, set);
    if (!defer) block->EvaluateAndRaise();
}

void CKorvexScpiStatus::SetInstrumentStatusBit(std::uint32_t row, std::uint8_t set,
                                               std::uint8_t defer) {
    SetStatusBit(&InstrumentBlock(), row, set, defer);
}

void CKorvexScpiStatus::SetStatusBitAllSessions(std::uint32_t row, std::uint8_t set,
                                                std::uint8_t defer) {
    if (row >= StatusBitRowCount) return;
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked()) return;
    CListHold listHold(false);
    if (!listHold.Locked()) return;
    for (CKorvexScpiStatus* block : Sessions().blocks) {
        block->SetBitLocked(row, set);
        if (!defer) block->EvaluateAndRaise();
    }
}

void CKorvexScpiStatus::PostError(CKorvexScpiStatus* block, std::uint32_t row,
                                  std::uint8_t defer) {
    row = CheckedErrorRow(row);
    if (row == eScpiNoError) return;
    if (SCPIErrorTable[row].allSessions) {
        QueueErrorAllSessions(row, defer);
        return;
    }
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr) return;
    block->QueueErrorLocked(row);
    if (!defer) block->EvaluateAndRaise();
}

void CKorvexScpiStatus::QueueError(CKorvexScpiStatus* block, std::uint32_t row) {
    row = CheckedErrorRow(row);
    if (row == eScpiNoError) return;
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr) return;
    block->QueueErrorLocked(row);
}

void CKorvexScpiStatus::QueueErrorAllSessions(std::uint32_t row, std::uint8_t defer) {
    row = CheckedErrorRow(row);
    if (row == eScpiNoError) return;
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked()) return;
    CListHold listHold(false);
    if (!listHold.Locked()) return;
    for (CKorvexScpiStatus* block : Sessions().blocks) {
        block->QueueErrorLocked(row);
        if (!defer) block->EvaluateAndRaise();
    }
}

std::uint32_t CKorvexScpiStatus::PopError(CKorvexScpiStatus* block) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr || block->errorCount == 0) return eScpiNoError;
    const std::uint32_t row = block->errorQueue[0];
    std::copy(block->errorQueue.begin() + 1, block->errorQueue.begin() + block->errorCount,
              block->errorQueue.begin());
    --block->errorCount;
    return row;
}

void CKorvexScpiStatus::GetErrorText(std::uint32_t row, std::int16_t& code, std::string& text) {
    const SCPIErrorRow& error = SCPIErrorTable[CheckedErrorRow(row)];
    code = error.code;
    text = error.text;
}

std::uint8_t CKorvexScpiStatus::ReadStatusByte(CKorvexScpiStatus* block, std::uint8_t mode) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr) return 0;
    const std::uint16_t rqs = StatusBitTable[eRowServiceRequest].mask;
    std::uint16_t stb = block->event[eRegStatusByte] & static_cast<std::uint16_t>(~rqs);
    if ((mode == 0 && block->mss) || (mode == 1 && block->serviceRequestPending)) stb |= rqs;
    return static_cast<std::uint8_t>(stb);
}

void CKorvexScpiStatus::SetEnable(CKorvexScpiStatus* block, std::uint32_t reg,
                                  std::uint16_t& value, std::uint8_t defer) {
    if (reg >= StatusRegisterCount) return;
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr) return;
    value &= static_cast<std::uint16_t>(~Bit15);
    if (reg == eRegStatusByte) value &= static_cast<std::uint16_t>(~StatusBitTable[eRowServiceRequest].mask);
    block->enable[reg] = value;
    if (!defer) block->EvaluateAndRaise();
}

std::uint16_t CKorvexScpiStatus::GetEnable(CKorvexScpiStatus* block, std::uint32_t reg) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr || reg >= StatusRegisterCount) return 0;
    return block->enable[reg];
}

std::uint16_t CKorvexScpiStatus::GetPTR(CKorvexScpiStatus* block, std::uint32_t reg) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr || reg >= StatusRegisterCount) return 0;
    return block->ptr[reg];
}

std::uint16_t CKorvexScpiStatus::GetNTR(CKorvexScpiStatus* block, std::uint32_t reg) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr || reg >= StatusRegisterCount) return 0;
    return block->ntr[reg];
}

void CKorvexScpiStatus::SetPTR(CKorvexScpiStatus* block, std::uint32_t reg, std::uint16_t value) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr || reg >= StatusRegisterCount) return;
    block->ptr[reg] = value;
}

void CKorvexScpiStatus::SetNTR(CKorvexScpiStatus* block, std::uint32_t reg, std::uint16_t value) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr || reg >= StatusRegisterCount) return;
    block->ntr[reg] = value;
}

void CKorvexScpiStatus::ClearEvent(CKorvexScpiStatus* block, std::uint32_t reg) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr || reg >= StatusRegisterCount) return;
    block->event[reg] = 0;
}

std::uint16_t CKorvexScpiStatus::ReadEvent(CKorvexScpiStatus* block, std::uint32_t reg) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr || reg >= StatusRegisterCount) return 0;
    block->EvaluateLocked();
    return block->event[reg];
}

std::uint16_t CKorvexScpiStatus::ReadCondition(CKorvexScpiStatus* block, std::uint32_t reg) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr || reg >= StatusRegisterCount) return 0;
    block->EvaluateLocked();
    return block->condition[reg];
}

std::uint16_t CKorvexScpiStatus::ReadAndClearEvent(CKorvexScpiStatus* block, std::uint32_t reg) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr || reg >= StatusRegisterCount) return 0;
    block->EvaluateLocked();
    const std::uint16_t value = block->event[reg];
    block->event[reg] = 0;
    return value;
}

void CKorvexScpiStatus::Preset(CKorvexScpiStatus* block) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr) return;
    block->ptr = {0xFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    block->ntr.fill(0);
    block->enable[eRegOperation] = 0;
    block->enable[eRegQuestionable] = 0;
    block->enable[eRegQuestionableBit12] = 0xFFFF;
    block->enable[eRegOperationBit11] = 0xFFFF;
    block->enable[eRegOperationBit12] = 0xFFFF;
    block->EvaluateLocked();
}

void CKorvexScpiStatus::Clear(CKorvexScpiStatus* block) {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked() || block == nullptr) return;
    block->event.fill(0);
    block->errorCount = 0;
    block->EvaluateLocked();
}

void CKorvexScpiStatus::UpdateAllSessions() {
    CRecursiveLock hold(StatusLock());
    if (!hold.Locked()) return;
    CListHold listHold(false);
    if (!listHold.Locked()) return;
    for (CKorvexScpiStatus* block : Sessions().blocks) block->EvaluateAndRaise();
}

}  // namespace Korvex
