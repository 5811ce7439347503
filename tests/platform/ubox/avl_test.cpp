// AVL tree: balance, order and lookups under random inserts and deletes,
// duplicates, and deleting while iterating.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

extern "C" {
#include <libubox/avl-cmp.h>
#include <libubox/avl.h>
}

namespace {

struct Item {
    int key;
    int seq;
    avl_node avl;
};

int cmp_int(const void *a, const void *b, void *)
{
    int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return x < y ? -1 : x > y;
}

// Height of the subtree, checking parent links, balance factors and the
// search order on the way.
int check(const avl_tree *t, const avl_node *n, const avl_node *parent)
{
    if (!n)
        return 0;
    EXPECT_EQ(n->parent, parent);
    int l = check(t, n->left, n), r = check(t, n->right, n);
    EXPECT_EQ(n->balance, r - l);
    EXPECT_LE(std::abs(r - l), 1);
    if (n->left) {
        EXPECT_LE(cmp_int(n->left->key, n->key, nullptr), 0);
    }
    if (n->right) {
        EXPECT_GE(cmp_int(n->right->key, n->key, nullptr), 0);
    }
    return 1 + std::max(l, r);
}

std::vector<int> keys_in_order(avl_tree *t)
{
    std::vector<int> out;
    Item *it;
    avl_for_each_element(t, it, avl)
        out.push_back(it->key);
    return out;
}

TEST(Avl, RandomInsertDeleteKeepsBalanceOrderAndLookups)
{
    avl_tree t;
    avl_init(&t, cmp_int, false, nullptr);
    std::mt19937 rng(12345);
    std::map<int, Item *> model;
    std::vector<Item> pool(600);

    for (int round = 0; round < 4000; round++) {
        int k = static_cast<int>(rng() % 600);
        auto found = model.find(k);
        if (found == model.end()) {
            Item &it = pool[k];
            it.key = k;
            it.avl.key = &it.key;
            ASSERT_EQ(avl_insert(&t, &it.avl), 0);
            model[k] = &it;
        } else if (rng() % 2) {
            Item dup{k, 0, {}};
            dup.avl.key = &dup.key;
            EXPECT_EQ(avl_insert(&t, &dup.avl), -1);
        } else {
            avl_delete(&t, &found->second->avl);
            model.erase(found);
        }
        if (round % 200 == 0) {
            check(&t, t.root, nullptr);
            ASSERT_EQ(t.count, model.size());
        }
    }
    int height = check(&t, t.root, nullptr);
    EXPECT_LE(height, 14);  // 1.44 log2(n) bound for n <= 600
    std::vector<int> expect;
    for (auto &[k, v] : model)
        expect.push_back(k);
    EXPECT_EQ(keys_in_order(&t), expect);

    for (int k = -1; k <= 601; k++) {
        Item *e = avl_find_element(&t, &k, e, avl);
        EXPECT_EQ(e != nullptr, model.count(k) == 1) << k;
        auto ge = model.lower_bound(k);
        Item *g = avl_find_ge_element(&t, &k, g, avl);
        EXPECT_EQ(g, ge == model.end() ? nullptr : ge->second) << k;
        auto le = model.upper_bound(k);
        Item *l = avl_find_le_element(&t, &k, l, avl);
        EXPECT_EQ(l, le == model.begin() ? nullptr : std::prev(le)->second) << k;
    }
}

TEST(Avl, DuplicatesKeepInsertionOrderAndLeaders)
{
    avl_tree t;
    avl_init(&t, cmp_int, true, nullptr);
    std::vector<Item> items;
    for (int i = 0; i < 40; i++)
        items.push_back({i % 4, i, {}});
    for (Item &it : items) {
        it.avl.key = &it.key;
        ASSERT_EQ(avl_insert(&t, &it.avl), 0);
    }
    check(&t, t.root, nullptr);

    int last_key = -1, last_seq = -1;
    Item *it;
    avl_for_each_element(&t, it, avl) {
        if (it->key == last_key) {
            EXPECT_GT(it->seq, last_seq);
        }
        EXPECT_EQ(it->avl.leader, it->key != last_key);
        last_key = it->key;
        last_seq = it->seq;
    }
    int two = 2;
    Item *first = avl_find_element(&t, &two, first, avl);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->seq, 2);  // the first one inserted with that key

    // Deleting a leader hands the role to the next of its key.
    avl_delete(&t, &first->avl);
    first = avl_find_element(&t, &two, first, avl);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->seq, 6);
    EXPECT_TRUE(first->avl.leader);
    check(&t, t.root, nullptr);
}

TEST(Avl, SafeLoopDeletesAndReverseWalks)
{
    avl_tree t;
    avl_init(&t, cmp_int, false, nullptr);
    std::vector<Item> items(100);
    for (int i = 0; i < 100; i++) {
        items[i].key = (i * 37) % 100;
        items[i].avl.key = &items[i].key;
        avl_insert(&t, &items[i].avl);
    }
    Item *it, *tmp;
    avl_for_each_element_safe(&t, it, avl, tmp)
        if (it->key % 3)
            avl_delete(&t, &it->avl);
    check(&t, t.root, nullptr);
    std::vector<int> left = keys_in_order(&t);
    ASSERT_EQ(left.size(), 34u);
    for (size_t i = 0; i < left.size(); i++)
        EXPECT_EQ(left[i], static_cast<int>(i) * 3);

    std::vector<int> rev;
    avl_for_each_element_reverse(&t, it, avl)
        rev.push_back(it->key);
    std::reverse(rev.begin(), rev.end());
    EXPECT_EQ(rev, left);

    int n = 0;
    avl_remove_all_elements(&t, it, avl, tmp)
        n++;
    EXPECT_EQ(n, 34);
    EXPECT_TRUE(avl_is_empty(&t));
    EXPECT_TRUE(keys_in_order(&t).empty());
}

struct Named {
    const char *name;
    avl_node avl;
};

AVL_TREE(g_names, avl_strcmp, false, nullptr);

TEST(Avl, StaticTreeOfStrings)
{
    Named a{"wan", {}}, b{"lan", {}}, c{"guest", {}}, again{"lan", {}};
    for (Named *n : {&a, &b, &c}) {
        n->avl.key = n->name;
        ASSERT_EQ(avl_insert(&g_names, &n->avl), 0);
    }
    again.avl.key = again.name;
    EXPECT_EQ(avl_insert(&g_names, &again.avl), -1);

    std::vector<std::string> order;
    Named *n;
    avl_for_each_element(&g_names, n, avl)
        order.push_back(n->name);
    EXPECT_EQ(order, (std::vector<std::string>{"guest", "lan", "wan"}));
    EXPECT_EQ(avl_find_element(&g_names, "lan", n, avl), &b);
    EXPECT_EQ(avl_find_element(&g_names, "dmz", n, avl), nullptr);
    EXPECT_TRUE(avl_is_first(&g_names, &c.avl));
    EXPECT_TRUE(avl_is_last(&g_names, &a.avl));
}

} // namespace
