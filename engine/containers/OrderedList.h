// Records linked through their own next field, kept in priority order behind the head:
// higher priority first, equal priorities in arrival order. The head is never displaced
// (its owner treats it as the running record). The list neither allocates nor frees
// records. No locking: the owner serialises access.
//
// TRecord must have public members `key` (its identifying key), `priority` and
// `next` (TRecord*).
#pragma once

#include <utility>

namespace Korvex {

template <typename TRecord>
class COrderedList {
public:
    using Key = decltype(std::declval<TRecord&>().key);
    using Priority = decltype(std::declval<TRecord&>().priority);

    COrderedList() = default;
    COrderedList(const COrderedList&) = delete;
    COrderedList& operator=(const COrderedList&) = delete;

    TRecord* GetHead() const { return m_head; }
    TRecord* GetTail() const { return m_tail; }
    bool IsEmpty() const { return m_head == nullptr; }

    // Appends record at the tail as it is (a new arrival; its priority is not looked at).
    void PushBack(TRecord* record)
    {
        record->next = nullptr;
        if (m_tail == nullptr) {
            m_head = record;
        } else {
            m_tail->next = record;
        }
        m_tail = record;
    }

    // The first record with this key, or null.
    TRecord* Find(const Key& key) const
    {
        for (TRecord* record = m_head; record != nullptr; record = record->next) {
            if (record->key == key) {
                return record;
            }
        }
        return nullptr;
    }

    // Unlinks the first record with this key, clears its next pointer and returns it;
    // null when there is none.
    TRecord* Unlink(const Key& key)
    {
        TRecord* previous = nullptr;
        for (TRecord* record = m_head; record != nullptr;
             previous = record, record = record->next) {
            if (!(record->key == key)) {
                continue;
            }
            if (previous == nullptr) {
                m_head = record->next;
            } else {
                previous->next = record->next;
            }
            if (m_tail == record) {
                m_tail = previous;
            }
            record->next = nullptr;
            return record;
        }
        return nullptr;
    }

    // Sets the record's priority. Unless it is the head, or the record in front of it has
    // a priority at least as high, it moves directly in front of the first record behind
    // the head whose priority is lower. Nothing when no record has this key.
    void Reorder(const Key& key, Priority priority)
    {
        TRecord* previous = nullptr;
        TRecord* record = m_head;
        while (record != nullptr && !(record->key == key)) {
            previous = record;
            record = record->next;
        }
        if (record == nullptr) {
            return;
        }
        record->priority = priority;
        if (previous == nullptr || previous == m_head || !(previous->priority < priority)) {
            return;
        }
        // The record in front has a lower priority, so a place is found at or before it.
        TRecord* before = m_head;
        while (!(before->next->priority < priority)) {
            before = before->next;
        }
        previous->next = record->next;
        if (m_tail == record) {
            m_tail = previous;
        }
        record->next = before->next;
        before->next = record;
    }

private:
    TRecord* m_head = nullptr;
    TRecord* m_tail = nullptr;
};

} // namespace Korvex
