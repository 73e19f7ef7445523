#pragma once

#include <QString>

#include <functional>

namespace hxbtest {

// Directory of the built server (bin/ of the build tree), with its run-time neighbours.
QString runtimeDir();
// Root of the source tree.
QString sourceDir();

// Runs the calling thread's event loop until pred() holds or timeoutMs passes; returns pred().
bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 5000);

} // namespace hxbtest
