/*
 * Host stand-in of the router's libubox AVL comparators, with the router
 * library's public API.
 */
#ifndef __LIBUBOX_AVL_CMP_H
#define __LIBUBOX_AVL_CMP_H

/* keys are NUL-terminated strings */
int avl_strcmp(const void *k1, const void *k2, void *ptr);

#endif
