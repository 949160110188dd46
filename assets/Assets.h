#pragma once

namespace qav {

// Registers the built-in pictures under :/builtin. They live in a static library, whose
// resources are not registered until something calls this; calling it again does nothing.
void initAssets();

} // namespace qav
