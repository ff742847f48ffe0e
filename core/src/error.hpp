#pragma once
// Errors travel as values: a kind for callers that branch on it, and the text
// shown to the user exactly as produced.

#include <expected>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "no_writable_dir.hpp"

namespace kestrune {

enum class ErrorKind { NotFound, PermissionDenied, InvalidInput, InvalidData, AlreadyExists, Other };

struct Error {
    ErrorKind kind = ErrorKind::Other;
    std::string text;
    // Present only for the start error of an unwritable output location;
    // callers recognise that case by this payload, never by the text.
    std::optional<NoWritableDir> no_writable_dir;
};

template <class T>
using Result = std::expected<T, Error>;

[[nodiscard]] inline Error make_error(ErrorKind kind, std::string text) {
    return Error{kind, std::move(text), std::nullopt};
}

[[nodiscard]] inline std::unexpected<Error> fail(ErrorKind kind, std::string text) {
    return std::unexpected(make_error(kind, std::move(text)));
}

[[nodiscard]] Error error_from_no_writable_dir(NoWritableDir dir);

// Maps a standard error code onto our kinds; the text is the code's message.
[[nodiscard]] Error error_from_code(std::error_code ec);

[[nodiscard]] ErrorKind kind_from_code(std::error_code ec);

}  // namespace kestrune
