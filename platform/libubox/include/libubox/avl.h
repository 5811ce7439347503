/*
 * Host stand-in of the router's libubox AVL tree, with the router library's
 * public API: the nodes are also threaded on a list in key order, so the
 * iteration macros walk that list; equal keys (allow_dups) keep insertion
 * order.
 */
#ifndef _AVL_H
#define _AVL_H

#include <stddef.h>
#include <stdbool.h>

#include "list.h"

struct avl_node {
	/* first member: the list of all nodes in key order */
	struct list_head list;
	struct avl_node *parent;
	struct avl_node *left;
	struct avl_node *right;
	const void *key;
	/* height of the right subtree minus that of the left one */
	signed char balance;
	/* first of a series of nodes with the same key */
	bool leader;
};

/* returns <0, 0 or >0 as k1 sorts before, with or after k2 */
typedef int (*avl_tree_comp) (const void *k1, const void *k2, void *ptr);

struct avl_tree {
	struct list_head list_head;
	struct avl_node *root;
	unsigned int count;
	bool allow_dups;
	avl_tree_comp comp;
	void *cmp_ptr;
};

enum avl_find_mode {
	AVL_FIND_EQUAL,
	AVL_FIND_LESSEQUAL,
	AVL_FIND_GREATEREQUAL
};

#define AVL_TREE_INIT(_name, _comp, _allow_dups, _cmp_ptr)	\
	{							\
		.list_head = LIST_HEAD_INIT(_name.list_head),	\
		.root = NULL,					\
		.count = 0,					\
		.allow_dups = _allow_dups,			\
		.comp = _comp,					\
		.cmp_ptr = _cmp_ptr				\
	}

#define AVL_TREE(_name, _comp, _allow_dups, _cmp_ptr)		\
	struct avl_tree _name =					\
		AVL_TREE_INIT(_name, _comp, _allow_dups, _cmp_ptr)

void avl_init(struct avl_tree *, avl_tree_comp, bool, void *);
struct avl_node *avl_find(const struct avl_tree *, const void *);
struct avl_node *avl_find_greaterequal(const struct avl_tree *tree, const void *key);
struct avl_node *avl_find_lessequal(const struct avl_tree *tree, const void *key);
/* 0, or -1 when the key is present and the tree allows no duplicates */
int avl_insert(struct avl_tree *, struct avl_node *);
void avl_delete(struct avl_tree *, struct avl_node *);
void *__avl_find_element(const struct avl_tree *tree, const void *key,
    size_t offset, enum avl_find_mode mode);

static inline bool
avl_is_first(struct avl_tree *tree, struct avl_node *node) {
	return tree->list_head.next == &node->list;
}

static inline bool
avl_is_last(struct avl_tree *tree, struct avl_node *node) {
	return tree->list_head.prev == &node->list;
}

static inline bool
avl_is_empty(struct avl_tree *tree) {
	return tree->count == 0;
}

/* typeof, as in the router's header: from C++ these need GNU extensions. */
#define avl_find_element(tree, key, element, node_element) \
	((__typeof__(*(element)) *)__avl_find_element(tree, key, \
		offsetof(typeof(*(element)), node_element), AVL_FIND_EQUAL))

#define avl_find_le_element(tree, key, element, node_element) \
	((__typeof__(*(element)) *)__avl_find_element(tree, key, \
		offsetof(typeof(*(element)), node_element), AVL_FIND_LESSEQUAL))

#define avl_find_ge_element(tree, key, element, node_element) \
	((__typeof__(*(element)) *)__avl_find_element(tree, key, \
		offsetof(typeof(*(element)), node_element), AVL_FIND_GREATEREQUAL))

/* not for an empty tree */
#define avl_first_element(tree, element, node_member) \
	container_of((tree)->list_head.next, __typeof__(*(element)), node_member.list)

/* not for an empty tree */
#define avl_last_element(tree, element, node_member) \
	container_of((tree)->list_head.prev, __typeof__(*(element)), node_member.list)

/* not for the last element */
#define avl_next_element(element, node_member) \
	container_of((&(element)->node_member.list)->next, __typeof__(*(element)), node_member.list)

/* not for the first element */
#define avl_prev_element(element, node_member) \
	container_of((&(element)->node_member.list)->prev, __typeof__(*(element)), node_member.list)

/* Loops that must not remove elements. */
#define avl_for_element_range(first, last, element, node_member) \
	for (element = (first); \
	     element->node_member.list.prev != &(last)->node_member.list; \
	     element = avl_next_element(element, node_member))

#define avl_for_element_range_reverse(first, last, element, node_member) \
	for (element = (last); \
	     element->node_member.list.next != &(first)->node_member.list; \
	     element = avl_prev_element(element, node_member))

#define avl_for_each_element(tree, element, node_member) \
	avl_for_element_range(avl_first_element(tree, element, node_member), \
			      avl_last_element(tree, element,  node_member), \
			      element, node_member)

#define avl_for_each_element_reverse(tree, element, node_member) \
	avl_for_element_range_reverse(avl_first_element(tree, element, node_member), \
				      avl_last_element(tree, element,  node_member), \
				      element, node_member)

#define avl_for_element_to_last(tree, first, element, node_member) \
	avl_for_element_range(first, avl_last_element(tree, element, node_member), element, node_member)

#define avl_for_element_to_last_reverse(tree, first, element, node_member) \
	avl_for_element_range_reverse(first, avl_last_element(tree, element, node_member), element, node_member)

#define avl_for_first_to_element(tree, last, element, node_member) \
	avl_for_element_range(avl_first_element(tree, element, node_member), last, element, node_member)

#define avl_for_first_to_element_reverse(tree, last, element, node_member) \
	avl_for_element_range_reverse(avl_first_element(tree, element, node_member), last, element, node_member)

/* Loops that may remove the current element (and only that one); ptr holds the next. */
#define avl_for_element_range_safe(first_element, last_element, element, node_member, ptr) \
	for (element = (first_element), ptr = avl_next_element(first_element, node_member); \
	     element->node_member.list.prev != &(last_element)->node_member.list; \
	     element = ptr, ptr = avl_next_element(ptr, node_member))

#define avl_for_element_range_reverse_safe(first_element, last_element, element, node_member, ptr) \
	for (element = (last_element), ptr = avl_prev_element(last_element, node_member); \
	     element->node_member.list.next != &(first_element)->node_member.list; \
	     element = ptr, ptr = avl_prev_element(ptr, node_member))

#define avl_for_each_element_safe(tree, element, node_member, ptr) \
	avl_for_element_range_safe(avl_first_element(tree, element, node_member), \
				   avl_last_element(tree, element, node_member), \
				   element, node_member, ptr)

#define avl_for_each_element_reverse_safe(tree, element, node_member, ptr) \
	avl_for_element_range_reverse_safe(avl_first_element(tree, element, node_member), \
					   avl_last_element(tree, element, node_member), \
					   element, node_member, ptr)

#define avl_for_element_to_last_safe(tree, first_element, element, node_member, ptr) \
	avl_for_element_range_safe(first_element, avl_last_element(tree, element, node_member), \
				   element, node_member, ptr)

#define avl_for_first_to_element_safe(tree, last_element, element, node_member, ptr) \
	avl_for_element_range_safe(avl_first_element(tree, element, node_member), last_element, \
				   element, node_member, ptr)

/*
 * Empties the tree in one pass, visiting each element once so that the
 * loop body can free it; the tree must not be used inside the loop.
 */
#define avl_remove_all_elements(tree, element, node_member, ptr) \
	for (element = avl_first_element(tree, element, node_member), \
	     ptr = avl_next_element(element, node_member), \
	     INIT_LIST_HEAD(&(tree)->list_head), \
	     (tree)->root = NULL; \
	     (tree)->count > 0; \
	     element = ptr, ptr = avl_next_element(ptr, node_member), (tree)->count--)

#endif /* _AVL_H */
