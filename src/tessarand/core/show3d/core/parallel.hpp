// Independent pieces of work spread over the machine's cores. No Python here.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

namespace show3d {

// Helper threads beside the calling one: one per further core, at most three.
inline size_t helper_count() {
    return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4) - 1;
}

// Runs piece(0) .. piece(count - 1), each once, on the calling thread and on
// helpers that take the next piece not yet taken. The pieces must not throw.
// Without threads to spare (or when none can be started) the calling thread
// runs them all.
template <typename Piece> void run_pieces(size_t count, Piece &&piece) {
    static_assert(std::is_nothrow_invocable_v<Piece &, size_t>, "pieces run on helper threads");
    std::atomic<size_t> next{0};
    auto take = [&]() noexcept {
        for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) piece(i);
    };
    std::vector<std::thread> helpers;
    size_t wanted = std::min(helper_count(), count > 0 ? count - 1 : 0);
    try {
        helpers.reserve(wanted);
        while (helpers.size() < wanted) helpers.emplace_back(take);
    } catch (const std::system_error &) {
        // Fewer helpers: the pieces are taken all the same.
    } catch (const std::bad_alloc &) {
    }
    take();
    for (std::thread &helper : helpers) helper.join();
}

// Items 0 .. count - 1 in batches of consecutive items that weigh at least
// `per_batch` together (the last may weigh less), the batches taken by the
// threads in turn: item(i) runs once for every i, in order within a batch.
template <typename Weight, typename Item>
void run_batches(size_t count, size_t per_batch, Weight &&weight, Item &&item) {
    static_assert(std::is_nothrow_invocable_v<Item &, size_t>, "items run on helper threads");
    std::vector<size_t> starts{0};
    for (size_t i = 0, batch = 0; i < count; ++i) {
        if (batch >= per_batch) starts.push_back(i), batch = 0;
        batch += weight(i);
    }
    starts.push_back(count);
    run_pieces(starts.size() - 1, [&](size_t b) noexcept {
        for (size_t i = starts[b]; i < starts[b + 1]; ++i) item(i);
    });
}

} // namespace show3d
