#include "backend_win/default_render_id.hpp"

#include "capture/set_once_text.hpp"

namespace kestrune::win {
namespace {

// Never destroyed: a detached worker may still read it while the process exits.
SetOnceText& cell() {
    static SetOnceText* value = new SetOnceText;
    return *value;
}

}  // namespace

std::optional<std::string> default_render_id() {
    return cell().get();
}

bool store_default_render_id(std::string id) {
    return cell().set(std::move(id));
}

}  // namespace kestrune::win
