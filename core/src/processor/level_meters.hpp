#pragma once
// The sources' live peak levels, handed from the processor to the window
// without a lock or an allocation: the processor raises a source's peak as its
// audio goes into the files, the window takes the peak (resetting it) on its
// own timer. A source can also be marked lost, for the window to show.

#include <atomic>
#include <cmath>
#include <cstddef>
#include <memory>
#include <span>

namespace kestrune {

// Room for sources that join a recording after its start, whose slots come
// after the first ones: the object is made once and never grows.
inline constexpr std::size_t LEVEL_METER_ROOM = 64;

class LevelMeters {
public:
    explicit LevelMeters(std::size_t sources)
        : slots_(std::make_unique<Slot[]>(sources)), size_(sources) {}

    [[nodiscard]] std::size_t size() const { return size_; }

    // Processor side: the samples one source contributed. Unknown sources
    // and NaN samples are ignored.
    void add(std::size_t source, std::span<const float> samples) noexcept {
        if (source >= size_ || samples.empty())
            return;
        float peak = 0.0f;
        for (const float v : samples) {
            const float a = std::fabs(v);
            if (a > peak)
                peak = a;
        }
        std::atomic<float>& slot = slots_[source].peak;
        float seen = slot.load(std::memory_order_relaxed);
        while (peak > seen && !slot.compare_exchange_weak(seen, peak, std::memory_order_relaxed)) {
        }
    }

    // Reader side: the highest absolute sample since the last take, 0 when
    // none arrived.
    [[nodiscard]] float take_peak(std::size_t source) noexcept {
        if (source >= size_)
            return 0.0f;
        return slots_[source].peak.exchange(0.0f, std::memory_order_relaxed);
    }

    void set_lost(std::size_t source, bool lost) noexcept {
        if (source < size_)
            slots_[source].lost.store(lost, std::memory_order_relaxed);
    }
    [[nodiscard]] bool lost(std::size_t source) const noexcept {
        return source < size_ && slots_[source].lost.load(std::memory_order_relaxed);
    }

private:
    struct Slot {
        std::atomic<float> peak{0.0f};
        std::atomic<bool> lost{false};
    };
    static_assert(std::atomic<float>::is_always_lock_free);
    static_assert(std::atomic<bool>::is_always_lock_free);

    std::unique_ptr<Slot[]> slots_;
    std::size_t size_;
};

}  // namespace kestrune
