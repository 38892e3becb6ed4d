// Time-out list: order of connections by last event, and its three operations.
#include "connection.h"
#include "timeout_list.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

std::vector<connection*> order(timeout_link* sentinel) {
    std::vector<connection*> out;
    for (timeout_link* l = sentinel->next; l != sentinel && out.size() < 100; l = l->next)
        out.push_back(timeout_link_owner(l));
    return out;
}

// Walking backwards must give the same list reversed, or a link is broken.
std::vector<connection*> reverse_order(timeout_link* sentinel) {
    std::vector<connection*> out;
    for (timeout_link* l = sentinel->prev; l != sentinel && out.size() < 100; l = l->prev)
        out.insert(out.begin(), timeout_link_owner(l));
    return out;
}

struct TimeoutList : ::testing::Test {
    timeout_link sentinel;
    connection a{}, b{}, c{};
    void SetUp() override {
        timeout_list_init(&sentinel);
        for (connection* conn : {&a, &b, &c})
            conn->timeout_link = {&conn->timeout_link, &conn->timeout_link};
    }
    bool self_linked(connection& conn) {
        return conn.timeout_link.next == &conn.timeout_link &&
               conn.timeout_link.prev == &conn.timeout_link;
    }
};

TEST_F(TimeoutList, EmptyListPointsAtItself) {
    EXPECT_EQ(sentinel.next, &sentinel);
    EXPECT_EQ(sentinel.prev, &sentinel);
    EXPECT_TRUE(order(&sentinel).empty());
}

TEST_F(TimeoutList, AnEventMovesAConnectionToTheMostRecentEnd) {
    timeout_list_append(&sentinel, &a);
    timeout_list_append(&sentinel, &b);
    timeout_list_append(&sentinel, &c);
    EXPECT_EQ(order(&sentinel), (std::vector<connection*>{&a, &b, &c}));
    timeout_list_move_to_tail(&sentinel, &b);
    EXPECT_EQ(order(&sentinel), (std::vector<connection*>{&a, &c, &b}));
    EXPECT_EQ(reverse_order(&sentinel), order(&sentinel));
    timeout_list_move_to_tail(&sentinel, &b); // already last: unchanged
    EXPECT_EQ(order(&sentinel), (std::vector<connection*>{&a, &c, &b}));
}

TEST_F(TimeoutList, MovingASelfLinkedConnectionAppendsIt) {
    timeout_list_append(&sentinel, &a);
    timeout_list_move_to_tail(&sentinel, &b);
    EXPECT_EQ(order(&sentinel), (std::vector<connection*>{&a, &b}));
    EXPECT_EQ(reverse_order(&sentinel), order(&sentinel));
}

TEST_F(TimeoutList, RemovingTwiceLeavesTheListUnchanged) {
    timeout_list_append(&sentinel, &a);
    timeout_list_append(&sentinel, &b);
    timeout_list_append(&sentinel, &c);
    timeout_list_remove(&b);
    EXPECT_TRUE(self_linked(b));
    EXPECT_EQ(order(&sentinel), (std::vector<connection*>{&a, &c}));
    timeout_list_remove(&b);
    EXPECT_TRUE(self_linked(b));
    EXPECT_EQ(order(&sentinel), (std::vector<connection*>{&a, &c}));
    EXPECT_EQ(reverse_order(&sentinel), order(&sentinel));
}

TEST_F(TimeoutList, RemovingTheOnlyConnectionEmptiesTheList) {
    timeout_list_append(&sentinel, &a);
    timeout_list_remove(&a);
    EXPECT_EQ(sentinel.next, &sentinel);
    EXPECT_EQ(sentinel.prev, &sentinel);
}

TEST_F(TimeoutList, UnlinkOfASelfLinkedConnectionChangesNothing) {
    timeout_list_append(&sentinel, &a);
    timeout_list_unlink(&b);
    EXPECT_TRUE(self_linked(b));
    EXPECT_EQ(order(&sentinel), (std::vector<connection*>{&a}));
}

TEST(NewConnection, StartsConnectedSelfLinkedWithStatsPreset) {
    connection* conn = new_connection(7);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->kind, EPOLL_CONNECTION);
    EXPECT_EQ(conn->sock, 7);
    EXPECT_EQ(conn->file, nullptr);
    EXPECT_EQ(conn->state, CONNECTED);
    EXPECT_EQ(conn->timeout_link.next, &conn->timeout_link);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(conn->stats[i], i + 1);
    for (int i = 8; i < 16; i++)
        EXPECT_EQ(conn->stats[i], 0);
    EXPECT_EQ(conn->session, nullptr);
    g_slice_free1(sizeof(connection), conn);
}

} // namespace
