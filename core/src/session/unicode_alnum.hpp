#pragma once

namespace kestrune {

// Letters and digits in the Unicode sense (alphabetic or numeric), not only ASCII.
[[nodiscard]] bool is_unicode_alnum(char32_t c);

}  // namespace kestrune
