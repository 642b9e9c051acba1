// Full Unicode lower-casing of UTF-8 text, used to compare user-given names case-insensitively.
#pragma once

#include <string>
#include <string_view>

namespace ludovec::explore {

// The full lower-case form of `text` (UTF-8): simple mappings of every cased letter, the
// two-character form of U+0130 ("i" + U+0307) and the final form of capital sigma at the end
// of a word. Bytes that are not valid UTF-8 pass through unchanged.
std::string to_lowercase(std::string_view text);

}  // namespace ludovec::explore
