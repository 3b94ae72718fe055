// The published-value cell: what readers on other threads see while the main thread publishes,
// and when replaced values are freed.
#include "core/snapshot_cell.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace velk {
namespace {

struct Value {
    int number = 0;
    std::string text = "0";  // always the number in decimal
};

Value valueof(int n)
{
    return Value{n, std::to_string(n)};
}

// Readers on four threads never see a torn or freed value, and the values they see only move
// forward (run it under AddressSanitizer or ThreadSanitizer to see a use after free or a race).
TEST(SnapshotCell, ReadersSeeWholeValuesInPublicationOrder)
{
    SnapshotCell<Value> cell;
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r)
        readers.emplace_back([&] {
            int last = 0;
            while (!done.load()) {
                const auto s = cell.read();
                if (s->text != std::to_string(s->number) || s->number < last)
                    bad.fetch_add(1);
                last = s->number;
            }
        });
    for (int n = 1; n <= 20000; ++n)
        cell.publish(valueof(n));
    done.store(true);
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(cell.read()->number, 20000);
}

// A snapshot held across publications keeps its value; once it is let go, the next publication
// frees everything replaced.
TEST(SnapshotCell, AHeldSnapshotKeepsItsValueUntilItIsLetGo)
{
    SnapshotCell<Value> cell(valueof(7));
    EXPECT_EQ(cell.read()->number, 7);
    cell.publish(valueof(1));
    std::thread([&] {
        const auto held = cell.read();
        std::thread([&] {
            for (int n = 2; n <= 5; ++n)
                cell.publish(valueof(n));
        }).join();
        EXPECT_EQ(held->text, "1");
        EXPECT_EQ(cell.read()->number, 5);
    }).join();
    EXPECT_GT(cell.retained(), 0u);
    cell.publish(valueof(6));
    EXPECT_EQ(cell.retained(), 0u);
    EXPECT_EQ(cell.read()->text, "6");
}

}  // namespace
}  // namespace velk
