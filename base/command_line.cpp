#include "base/command_line.hpp"

namespace kl {

std::wstring FindPreviewPath(const std::vector<std::wstring>& args) {
    std::wstring path;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == L"--preview" && i + 1 < args.size()) {
            path = args[i + 1];
            ++i;
        }
    }
    return path;
}

}  // namespace kl
