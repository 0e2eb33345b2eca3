// Singly linked list of values in heap nodes. The value is copied into its node; nodes
// come from the engine allocator and are freed on removal and by Destroy (the values
// themselves are not: a list of pointers does not free what they point at).
//
// An iterator is a node pointer; null means "before the first node". No locking: the
// owner serialises access. Insertions that run out of memory return false and leave the
// list unchanged.
#pragma once

#include "engine/os/Allocator.h"

namespace Korvex {

template <typename T>
class CLinkedList {
public:
    struct Node {
        T value;
        Node* next;
    };
    using Iterator = Node*;

    CLinkedList() = default;
    ~CLinkedList() { Destroy(); }
    CLinkedList(const CLinkedList&) = delete;
    CLinkedList& operator=(const CLinkedList&) = delete;

    // Empties the list (frees its nodes).
    void Init() { Destroy(); }
    // Frees every node; the list is empty afterwards.
    void Destroy()
    {
        while (m_head != nullptr) {
            Node* node = m_head;
            m_head = node->next;
            FreeNode(node);
        }
        m_tail = nullptr;
    }

    bool IsEmpty() const { return m_head == nullptr; }

    bool PushBack(const T& value)
    {
        Node* node = NewNode(value);
        if (node == nullptr) {
            return false;
        }
        if (m_tail == nullptr) {
            m_head = node;
        } else {
            m_tail->next = node;
        }
        m_tail = node;
        return true;
    }

    bool PushFront(const T& value)
    {
        Node* node = NewNode(value);
        if (node == nullptr) {
            return false;
        }
        node->next = m_head;
        m_head = node;
        if (m_tail == nullptr) {
            m_tail = node;
        }
        return true;
    }

    // With a null iterator as PushFront; else a new node after the iterator's node.
    bool InsertAfter(Iterator position, const T& value)
    {
        if (position == nullptr) {
            return PushFront(value);
        }
        Node* node = NewNode(value);
        if (node == nullptr) {
            return false;
        }
        node->next = position->next;
        position->next = node;
        if (m_tail == position) {
            m_tail = node;
        }
        return true;
    }

    // Unlinks the head and copies its value out; false when empty.
    bool PopFront(T* value)
    {
        Node* node = m_head;
        if (node == nullptr) {
            return false;
        }
        m_head = node->next;
        if (m_head == nullptr) {
            m_tail = nullptr;
        }
        *value = node->value;
        FreeNode(node);
        return true;
    }

    // Unlinks and frees the first node whose value == value; false when absent.
    bool Remove(const T& value)
    {
        Node* previous = nullptr;
        for (Node* node = m_head; node != nullptr; previous = node, node = node->next) {
            if (!(node->value == value)) {
                continue;
            }
            if (previous == nullptr) {
                m_head = node->next;
            } else {
                previous->next = node->next;
            }
            if (m_tail == node) {
                m_tail = previous;
            }
            FreeNode(node);
            return true;
        }
        return false;
    }

    static void ResetIterator(Iterator* iterator) { *iterator = nullptr; }

    // Advances the iterator (null: to the head) and copies the value out; false at the end.
    bool Next(Iterator* iterator, T* value) const
    {
        Node* node = (*iterator == nullptr) ? m_head : (*iterator)->next;
        if (node == nullptr) {
            return false;
        }
        *iterator = node;
        *value = node->value;
        return true;
    }

private:
    static Node* NewNode(const T& value)
    {
        return EngineNew<Node>(Node{value, nullptr});
    }

    static void FreeNode(Node* node)
    {
        EngineDelete(node);
    }

    Node* m_head = nullptr;
    Node* m_tail = nullptr;
};

} // namespace Korvex
