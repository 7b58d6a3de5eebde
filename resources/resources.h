#pragma once

/// The embedded assets (":/assets/..."). They live in a static library, so a program registers
/// them once before use; App does so in its constructor, tests that load assets without App
/// call this themselves.
namespace resources {
void init();
} // namespace resources
