// Balanced binary search tree (AVL) of records, ordered by std::less<T> (operator< of the
// record, or the address order of pointers). Records are moved into nodes allocated by the
// engine allocator and keep their address while they stay in the tree: removal relinks nodes,
// it never moves records. Insertion and removal keep their path in a stack of MaxDepth
// entries, and an insertion that would need a deeper path is refused, so the tree is never
// deeper than MaxDepth and every walk fits a stack of that size. No recursion, no locking.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "engine/os/Allocator.h"

namespace Korvex {

template <typename T, typename TDerived, unsigned long MaxDepth>
class CBinarySearchTree {
public:
    struct SBstNode {
        template <typename... Args>
        explicit SBstNode(Args&&... args) : record(std::forward<Args>(args)...) {}
        T record;
        SBstNode* left = nullptr;
        SBstNode* right = nullptr;
    };

    CBinarySearchTree() = default;
    CBinarySearchTree(const CBinarySearchTree&) = delete;
    CBinarySearchTree& operator=(const CBinarySearchTree&) = delete;

    std::uint32_t Count() const { return m_count; }
    bool IsEmpty() const { return m_root == nullptr; }

    // The record equal to probe (neither is less than the other), or null.
    T* Find(const T& probe) const
    {
        SBstNode* node = m_root;
        while (node != nullptr) {
            if (Less(probe, node->record)) {
                node = node->left;
            } else if (Less(node->record, probe)) {
                node = node->right;
            } else {
                return &node->record;
            }
        }
        return nullptr;
    }

    // Calls visit(record) for every record in ascending order; visit returns false to stop.
    // visit must not change the tree.
    template <typename TVisit>
    void ForEach(TVisit visit) const
    {
        SBstNode* stack[MaxDepth];
        unsigned long depth = 0;
        SBstNode* node = m_root;
        while (node != nullptr || depth > 0) {
            while (node != nullptr) {
                stack[depth++] = node;
                node = node->left;
            }
            node = stack[--depth];
            if (!visit(node->record)) {
                return;
            }
            node = node->right;
        }
    }

protected:
    static bool Less(const T& a, const T& b) { return std::less<T>()(a, b); }

    SBstNode* m_root = nullptr;
    std::uint32_t m_count = 0;
};

template <typename T, unsigned long MaxDepth>
class CAvlBst : public CBinarySearchTree<T, CAvlBst<T, MaxDepth>, MaxDepth> {
    using Base = CBinarySearchTree<T, CAvlBst<T, MaxDepth>, MaxDepth>;
    using typename Base::SBstNode;

public:
    // An AVL node: the record, its children and the height of its subtree (a leaf is 1); the
    // balance of a node is the height of its right subtree less that of its left.
    struct SAvlBstNode : SBstNode {
        template <typename... Args>
        explicit SAvlBstNode(Args&&... args) : SBstNode(std::forward<Args>(args)...) {}
        std::int32_t height = 1;
    };

    CAvlBst() = default;
    ~CAvlBst() { Clear(); }

    // Moves record into a new node. Returns the stored record, or null when the node could not
    // be allocated, the path would be deeper than MaxDepth, or an equal record is present (in
    // the last case *duplicate is set when given). The record is left untouched on failure.
    T* Insert(T&& record, bool* duplicate = nullptr)
    {
        if (duplicate != nullptr) {
            *duplicate = false;
        }
        SAvlBstNode* path[MaxDepth];
        unsigned long depth = 0;
        SBstNode* node = this->m_root;
        while (node != nullptr) {
            if (depth == MaxDepth) {
                return nullptr;
            }
            path[depth++] = Avl(node);
            if (Base::Less(record, node->record)) {
                node = node->left;
            } else if (Base::Less(node->record, record)) {
                node = node->right;
            } else {
                if (duplicate != nullptr) {
                    *duplicate = true;
                }
                return nullptr;
            }
        }
        if (depth == MaxDepth) {
            return nullptr;
        }
        SAvlBstNode* created = EngineNew<SAvlBstNode>(std::move(record));
        if (created == nullptr) {
            return nullptr;
        }
        if (depth == 0) {
            this->m_root = created;
        } else if (Base::Less(created->record, path[depth - 1]->record)) {
            path[depth - 1]->left = created;
        } else {
            path[depth - 1]->right = created;
        }
        ++this->m_count;
        Rebalance(path, depth);
        return &created->record;
    }

    // Removes and destroys the record equal to probe; false when there is none. With removed
    // given, the record is first moved there.
    bool Remove(const T& probe, T* removed = nullptr)
    {
        SAvlBstNode* path[MaxDepth];
        unsigned long depth = 0;
        SBstNode* node = this->m_root;
        while (node != nullptr) {
            if (Base::Less(probe, node->record)) {
                path[depth++] = Avl(node);
                node = node->left;
            } else if (Base::Less(node->record, probe)) {
                path[depth++] = Avl(node);
                node = node->right;
            } else {
                break;
            }
        }
        if (node == nullptr) {
            return false;
        }
        SBstNode* replacement;
        if (node->left == nullptr || node->right == nullptr) {
            replacement = node->left != nullptr ? node->left : node->right;
            Relink(path, depth, node, replacement);
        } else {
            // The in-order successor takes the removed node's place.
            const unsigned long nodeIndex = depth;
            path[depth++] = Avl(node);  // replaced by the successor below
            SBstNode* successor = node->right;
            while (successor->left != nullptr) {
                path[depth++] = Avl(successor);
                successor = successor->left;
            }
            if (depth - 1 == nodeIndex) {
                // The successor is the right child.
                successor->left = node->left;
            } else {
                path[depth - 1]->left = successor->right;
                successor->left = node->left;
                successor->right = node->right;
            }
            Avl(successor)->height = Avl(node)->height;
            Relink(path, nodeIndex, node, successor);
            path[nodeIndex] = Avl(successor);
        }
        if (removed != nullptr) {
            *removed = std::move(node->record);
        }
        EngineDelete(Avl(node));
        --this->m_count;
        Rebalance(path, depth);
        return true;
    }

    // Removes and destroys every record.
    void Clear()
    {
        SBstNode* node = this->m_root;
        while (node != nullptr) {
            if (node->left != nullptr) {
                // Rotate right until the leftmost node is on top, then drop it.
                SBstNode* left = node->left;
                node->left = left->right;
                left->right = node;
                node = left;
            } else {
                SBstNode* right = node->right;
                EngineDelete(Avl(node));
                node = right;
            }
        }
        this->m_root = nullptr;
        this->m_count = 0;
    }

    // The height of the tree (0 when empty); for checks.
    std::int32_t Height() const { return HeightOf(this->m_root); }

    // True when every node's stored height is right, its balance lies in -1..1 and the order
    // holds; for checks.
    bool IsBalanced() const
    {
        bool good = true;
        CheckSubtree(this->m_root, &good);
        return good;
    }

private:
    static SAvlBstNode* Avl(SBstNode* node) { return static_cast<SAvlBstNode*>(node); }
    static std::int32_t HeightOf(SBstNode* node) { return node == nullptr ? 0 : Avl(node)->height; }

    static void UpdateHeight(SBstNode* node)
    {
        const std::int32_t left = HeightOf(node->left);
        const std::int32_t right = HeightOf(node->right);
        Avl(node)->height = (left > right ? left : right) + 1;
    }

    static SBstNode* RotateLeft(SBstNode* node)
    {
        SBstNode* right = node->right;
        node->right = right->left;
        right->left = node;
        UpdateHeight(node);
        UpdateHeight(right);
        return right;
    }

    static SBstNode* RotateRight(SBstNode* node)
    {
        SBstNode* left = node->left;
        node->left = left->right;
        left->right = node;
        UpdateHeight(node);
        UpdateHeight(left);
        return left;
    }

    // Puts replacement where child hangs below path[depth - 1] (or at the root).
    void Relink(SAvlBstNode** path, unsigned long depth, SBstNode* child, SBstNode* replacement)
    {
        if (depth == 0) {
            this->m_root = replacement;
        } else if (path[depth - 1]->left == child) {
            path[depth - 1]->left = replacement;
        } else {
            path[depth - 1]->right = replacement;
        }
    }

    // Restores heights and balances from path[depth - 1] up to the root.
    void Rebalance(SAvlBstNode** path, unsigned long depth)
    {
        while (depth > 0) {
            SBstNode* node = path[--depth];
            UpdateHeight(node);
            const std::int32_t balance = HeightOf(node->right) - HeightOf(node->left);
            SBstNode* top = node;
            if (balance > 1) {
                if (HeightOf(node->right->left) > HeightOf(node->right->right)) {
                    node->right = RotateRight(node->right);
                }
                top = RotateLeft(node);
            } else if (balance < -1) {
                if (HeightOf(node->left->right) > HeightOf(node->left->left)) {
                    node->left = RotateLeft(node->left);
                }
                top = RotateRight(node);
            }
            if (top != node) {
                Relink(path, depth, node, top);
            }
        }
    }

    static std::int32_t CheckSubtree(SBstNode* root, bool* good)
    {
        // Post-order with an explicit stack: heights of finished subtrees are recomputed and
        // compared with the stored ones.
        struct SFrame {
            SBstNode* node;
            bool childrenDone;
        };
        SFrame stack[2 * MaxDepth + 2];
        unsigned long depth = 0;
        if (root == nullptr) {
            return 0;
        }
        stack[depth++] = {root, false};
        while (depth > 0) {
            SFrame& frame = stack[depth - 1];
            SBstNode* node = frame.node;
            if (!frame.childrenDone) {
                frame.childrenDone = true;
                if (depth + 2 > 2 * MaxDepth + 2) {
                    *good = false;
                    return -1;
                }
                if (node->left != nullptr) {
                    stack[depth++] = {node->left, false};
                }
                if (node->right != nullptr) {
                    stack[depth++] = {node->right, false};
                }
                continue;
            }
            --depth;
            const std::int32_t left = HeightOf(node->left);
            const std::int32_t right = HeightOf(node->right);
            const std::int32_t expected = (left > right ? left : right) + 1;
            if (Avl(node)->height != expected || right - left > 1 || left - right > 1 ||
                (node->left != nullptr && !Base::Less(node->left->record, node->record)) ||
                (node->right != nullptr && !Base::Less(node->record, node->right->record))) {
                *good = false;
            }
        }
        return HeightOf(root);
    }
};

} // namespace Korvex
