#include "error.hpp"

namespace kestrune {

Error error_from_no_writable_dir(NoWritableDir dir) {
    Error e{ErrorKind::PermissionDenied, dir.display_text(), std::nullopt};
    e.no_writable_dir = std::move(dir);
    return e;
}

ErrorKind kind_from_code(std::error_code ec) {
    const std::error_condition cond = ec.default_error_condition();
    if (cond == std::errc::no_such_file_or_directory) return ErrorKind::NotFound;
    if (cond == std::errc::permission_denied || cond == std::errc::operation_not_permitted ||
        cond == std::errc::read_only_file_system)
        return ErrorKind::PermissionDenied;
    if (cond == std::errc::file_exists) return ErrorKind::AlreadyExists;
    if (cond == std::errc::invalid_argument) return ErrorKind::InvalidInput;
    return ErrorKind::Other;
}

Error error_from_code(std::error_code ec) {
    return Error{kind_from_code(ec), ec.message() + " (os error " + std::to_string(ec.value()) + ")",
                 std::nullopt};
}

}  // namespace kestrune
