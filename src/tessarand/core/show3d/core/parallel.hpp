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

// range(begin, end) over [0, count) in ranges of `per_range`: on every core
// once there are two ranges or more.
template <typename Range> void run_ranges(size_t count, size_t per_range, Range &&range) {
    size_t ranges = (count + per_range - 1) / per_range;
    run_pieces(ranges, [&](size_t r) noexcept { range(r * per_range, std::min(count, (r + 1) * per_range)); });
}

} // namespace show3d
