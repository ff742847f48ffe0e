#include "main/window_slot.hpp"

#include <optional>

#include "backend_win/wasapi_backend.hpp"

namespace kestrune::win {
namespace {

thread_local std::optional<WindowSlot> slot;

}  // namespace

WindowSlot& window_slot() {
    if (!slot)
        reset_window_slot();
    return *slot;
}

WindowSlot& reset_window_slot() {
    slot.reset();
    slot.emplace();
    slot->backend = make_wasapi_backend();
    return *slot;
}

bool has_window_slot() {
    return slot.has_value();
}

}  // namespace kestrune::win
