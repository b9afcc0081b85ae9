#pragma once
#include <string>
#include <vector>

namespace kl {

// The design-preview path from the program's arguments (index 0 is the program itself):
// "--preview" (exact, case-sensitive) followed by one more argument; the last complete pair
// wins and everything else is ignored. Empty when there is no preview.
std::wstring FindPreviewPath(const std::vector<std::wstring>& args);

}  // namespace kl
