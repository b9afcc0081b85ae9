#pragma once
// Every thread the program starts runs its body through this: an exception leaving a thread
// would end the process (std::terminate), so it becomes a failure the owner can report.
#include <exception>

namespace kl {

// `onFailure` receives the exception's text, or nullptr for anything else, and must not throw.
template <typename Body, typename OnFailure>
void GuardThreadBody(Body&& body, OnFailure&& onFailure) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        onFailure(e.what());
    } catch (...) {
        onFailure(nullptr);
    }
}

}  // namespace kl
