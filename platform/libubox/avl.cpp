// AVL tree over intrusive nodes. Every node is in the tree (equal keys go
// right, so in-order is insertion order among them) and also on the list in
// in-order, which the iteration macros walk.
extern "C" {
#include "libubox/avl.h"
}

namespace {

int cmp(const avl_tree *t, const void *a, const void *b)
{
    return t->comp(a, b, t->cmp_ptr);
}

avl_node *node_of(list_head *l)
{
    return container_of(l, avl_node, list);
}

void replace_child(avl_tree *t, avl_node *parent, avl_node *old, avl_node *with)
{
    if (!parent)
        t->root = with;
    else if (parent->left == old)
        parent->left = with;
    else
        parent->right = with;
    if (with)
        with->parent = parent;
}

int max0(int v) { return v > 0 ? v : 0; }
int min0(int v) { return v < 0 ? v : 0; }

// Balance updates follow from the subtree heights before and after.
avl_node *rotate_left(avl_tree *t, avl_node *x)
{
    avl_node *y = x->right;
    x->right = y->left;
    if (y->left)
        y->left->parent = x;
    replace_child(t, x->parent, x, y);
    y->left = x;
    x->parent = y;
    x->balance = static_cast<signed char>(x->balance - 1 - max0(y->balance));
    y->balance = static_cast<signed char>(y->balance - 1 + min0(x->balance));
    return y;
}

avl_node *rotate_right(avl_tree *t, avl_node *x)
{
    avl_node *y = x->left;
    x->left = y->right;
    if (y->right)
        y->right->parent = x;
    replace_child(t, x->parent, x, y);
    y->right = x;
    x->parent = y;
    x->balance = static_cast<signed char>(x->balance + 1 - min0(y->balance));
    y->balance = static_cast<signed char>(y->balance + 1 + max0(x->balance));
    return y;
}

// Restores a node whose balance reached +-2; returns the subtree's new root.
avl_node *rebalance(avl_tree *t, avl_node *n)
{
    if (n->balance > 1) {
        if (n->right->balance < 0)
            rotate_right(t, n->right);
        return rotate_left(t, n);
    }
    if (n->left->balance > 0)
        rotate_left(t, n->left);
    return rotate_right(t, n);
}

// The subtree under parent on the given side grew by one level.
void grew(avl_tree *t, avl_node *parent, bool left)
{
    while (parent) {
        parent->balance = static_cast<signed char>(parent->balance + (left ? -1 : 1));
        if (parent->balance == 0)
            return;
        if (parent->balance == 2 || parent->balance == -2) {
            rebalance(t, parent);
            return;
        }
        avl_node *up = parent->parent;
        left = up && up->left == parent;
        parent = up;
    }
}

// The subtree under parent on the given side shrank by one level.
void shrank(avl_tree *t, avl_node *parent, bool left)
{
    while (parent) {
        parent->balance = static_cast<signed char>(parent->balance + (left ? 1 : -1));
        avl_node *top = parent;
        if (parent->balance == 2 || parent->balance == -2) {
            top = rebalance(t, parent);
            if (top->balance != 0)
                return;
        } else if (parent->balance != 0) {
            return;
        }
        avl_node *up = top->parent;
        left = up && up->left == top;
        parent = up;
    }
}

avl_node *find(const avl_tree *t, const void *key, avl_find_mode mode)
{
    avl_node *n = t->root, *hit = nullptr;
    while (n) {
        int d = cmp(t, key, n->key);
        switch (mode) {
        case AVL_FIND_EQUAL:
            // Leftmost match: the first of equal keys in list order.
            if (d == 0)
                hit = n;
            n = d <= 0 ? n->left : n->right;
            break;
        case AVL_FIND_LESSEQUAL:
            if (d >= 0)
                hit = n;
            n = d >= 0 ? n->right : n->left;
            break;
        case AVL_FIND_GREATEREQUAL:
            if (d <= 0)
                hit = n;
            n = d <= 0 ? n->left : n->right;
            break;
        }
    }
    return hit;
}

} // namespace

extern "C" {

void avl_init(struct avl_tree *tree, avl_tree_comp comp, bool allow_dups, void *ptr)
{
    INIT_LIST_HEAD(&tree->list_head);
    tree->root = nullptr;
    tree->count = 0;
    tree->comp = comp;
    tree->allow_dups = allow_dups;
    tree->cmp_ptr = ptr;
}

struct avl_node *avl_find(const struct avl_tree *tree, const void *key)
{
    return find(tree, key, AVL_FIND_EQUAL);
}

struct avl_node *avl_find_greaterequal(const struct avl_tree *tree, const void *key)
{
    return find(tree, key, AVL_FIND_GREATEREQUAL);
}

struct avl_node *avl_find_lessequal(const struct avl_tree *tree, const void *key)
{
    return find(tree, key, AVL_FIND_LESSEQUAL);
}

void *__avl_find_element(const struct avl_tree *tree, const void *key, size_t offset,
                         enum avl_find_mode mode)
{
    avl_node *n = find(tree, key, mode);
    return n ? reinterpret_cast<char *>(n) - offset : nullptr;
}

int avl_insert(struct avl_tree *tree, struct avl_node *node)
{
    node->parent = node->left = node->right = nullptr;
    node->balance = 0;
    node->leader = true;

    avl_node *parent = nullptr, *next = nullptr, *n = tree->root;
    bool left = false;
    while (n) {
        int d = cmp(tree, node->key, n->key);
        if (d == 0 && !tree->allow_dups)
            return -1;
        parent = n;
        left = d < 0;
        if (left)
            next = n;
        n = left ? n->left : n->right;
    }

    // In-order successor is the last node where the search went left.
    list_add_tail(&node->list, next ? &next->list : &tree->list_head);
    if (!avl_is_first(tree, node)) {
        avl_node *prev = node_of(node->list.prev);
        node->leader = cmp(tree, prev->key, node->key) != 0;
    }
    tree->count++;

    node->parent = parent;
    if (!parent) {
        tree->root = node;
        return 0;
    }
    if (left)
        parent->left = node;
    else
        parent->right = node;
    grew(tree, parent, left);
    return 0;
}

void avl_delete(struct avl_tree *tree, struct avl_node *node)
{
    if (node->leader && !avl_is_last(tree, node)) {
        avl_node *next = node_of(node->list.next);
        if (cmp(tree, next->key, node->key) == 0)
            next->leader = true;
    }
    list_del(&node->list);
    tree->count--;

    avl_node *start;
    bool left;
    if (node->left && node->right) {
        // The successor takes the node's place; the tree shrinks where the
        // successor was taken from.
        avl_node *s = node->right;
        while (s->left)
            s = s->left;
        if (s->parent == node) {
            start = s;
            left = false;
        } else {
            start = s->parent;
            left = true;
            start->left = s->right;
            if (s->right)
                s->right->parent = start;
            s->right = node->right;
            s->right->parent = s;
        }
        s->left = node->left;
        s->left->parent = s;
        s->balance = node->balance;
        replace_child(tree, node->parent, node, s);
    } else {
        avl_node *child = node->left ? node->left : node->right;
        start = node->parent;
        left = start && start->left == node;
        replace_child(tree, start, node, child);
    }
    node->parent = node->left = node->right = nullptr;
    shrank(tree, start, left);
}

} // extern "C"
